// Service requests and sign-in verification.
#include "host/DesktopHost.h"

#include "host/ServiceURL.h"
#include "base/BearerToken.h"
#include "base/DesktopError.h"
#include "sales/SalesEndpoint.h"

#include <algorithm>
#include <thread>

namespace korvid {

namespace {

constexpr const char* kLibraryPath = "/v1/library";
constexpr const char* kUnverifiableAccount = "无法确认目标账号。";

bool isSuccess(long status)
{
    return status >= 200 && status <= 299;
}

// 2xx answers: an object as it is, an array as {"items": array}.
Json readAnswer(const std::string& bytes)
{
    Json answer = Json::parse(bytes, nullptr, false);
    if (answer.is_discarded())
        throw DesktopError("服务端返回的数据无法解析。");
    if (answer.is_object())
        return answer;
    if (answer.is_array())
        return Json { { "items", std::move(answer) } };
    throw DesktopError("服务端返回格式异常。");
}

// The error object of a failed call; anything else counts as none.
Json readErrorObject(const std::string& bytes)
{
    Json object = Json::parse(bytes, nullptr, false);
    return object.is_object() ? object : Json::object();
}

bool isNotOffered(long status, const std::string& method, const Json& error)
{
    return status == 404 && method == "GET" && stringAt(error, "code") == "not_found"
        && stringAt(error, "message") == "没有这个地址";
}

bool isListOfObjects(const Json* value)
{
    return value && value->is_array()
        && std::all_of(value->begin(), value->end(), [](const Json& row) { return row.is_object(); });
}

}

HttpRequest DesktopHost::buildRequest(const std::string& path, const std::string& token,
    const std::optional<Json>& body, const std::optional<std::string>& turn, const std::string& method,
    const std::vector<QueryItem>& query) const
{
    // Nothing a page stored may add header lines to the request.
    if (!isUsableBearerToken(token))
        throw DesktopError(kUnverifiableAccount);
    auto url = serviceURL(origin, path, query);
    if (!url)
        throw DesktopError("服务地址无效。");
    HttpRequest request;
    request.url = std::move(*url);
    request.method = method;
    request.timeout = requestTimeout_;
    request.totalTimeout = transferLimit_;
    request.headers.reserve(4);
    request.headers.emplace_back("Authorization", "Bearer " + token);
    request.headers.emplace_back("x-korvid-privacy-version", "2");
    if (turn) {
        request.headers.emplace_back("X-Turn", *turn);
        request.timeout = turnTimeout_;
    }
    if (body) {
        request.headers.emplace_back("Content-Type", "application/json");
        try {
            request.body = body->dump();
        } catch (...) {
            throw DesktopError("请求内容无法编码为 JSON，未发送。");
        }
    }
    return request;
}

Task<HttpResult> DesktopHost::transfer(HttpRequest request)
{
    // The answer is kept beside the waiting coroutine rather than in it: a
    // transport that outlives the host, or answers after the coroutine's
    // owner destroyed it, then writes into nothing that was freed and
    // resumes nothing.
    struct Awaiter {
        HttpTransport& transport;
        OwnedExecutor& resume;
        HttpRequest request;
        detail::Suspension<HttpResult> suspension;

        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle)
        {
            auto sending = std::make_shared<bool>(true);
            transport.send(std::move(request),
                [pending = suspension.begin(handle), post = resume.poster(), owner = resume.lifetime(),
                    waiting = std::this_thread::get_id(), sending](HttpResult arrived) {
                    pending->value = std::move(arrived);
                    // An answer the main loop brings itself (the transport it
                    // drives) resumes the coroutine at once, a loop turn
                    // sooner; one from another thread, or from inside send,
                    // goes through the main loop's queue.
                    if (std::this_thread::get_id() == waiting && !*sending && !owner.expired())
                        pending->resume();
                    else
                        post([pending] { pending->resume(); });
                });
            *sending = false;
        }
        HttpResult await_resume() { return std::move(*suspension->value); }
    };
    co_return co_await Awaiter { *transport_, resume_, std::move(request), {} };
}

Task<Json> DesktopHost::request(std::string path, std::string token, std::optional<Json> body,
    std::optional<std::string> turn, std::optional<std::string> method, std::vector<QueryItem> query)
{
    std::string verb = method ? *method : (body ? "POST" : "GET");
    bool incremental
        = std::any_of(query.begin(), query.end(), [](const QueryItem& item) { return item.name == "since"; });
    HttpResult result = co_await transfer(buildRequest(path, token, body, turn, verb, query));
    if (result.error)
        throw DesktopError(*result.error);
    co_return co_await readResponse(std::move(result), std::move(path), std::move(token), std::move(verb), incremental);
}

Task<Json> DesktopHost::readResponse(
    HttpResult result, std::string path, std::string token, std::string method, bool incremental)
{
    if (isSuccess(result.status)) {
        if (path == kLibraryPath) {
            co_return co_await runOn(*background_, resume_,
                [bytes = std::move(result.body), incremental] { return SalesEndpoint::directory(bytes, incremental); });
        }
        co_return readAnswer(result.body);
    }

    if (result.status == 401) {
        // A late 401 for an earlier session must not end a newer one.
        if (session_ && session_->token == token)
            signOut();
        throw DesktopError("会话已失效，请重新登录。");
    }

    Json error = readErrorObject(result.body);
    if (isNotOffered(result.status, method, error)) {
        if (path == "/v1/desktop/sales/minutes")
            co_return Json { { "minutesUnavailable", true } };
        if (path == "/v1/desktop/commercial/partners")
            co_return Json { { "profilesUnavailable", true } };
        if (path == "/v1/desktop/commercial/sessions") {
            Json events = co_await request("/v1/events", token);
            const Json* items = arrayAt(events, "items");
            if (!isListOfObjects(items))
                throw DesktopError("活动列表格式异常。");
            co_return Json { { "items", *items }, { "sourcesUnavailable", true } };
        }
    }
    auto message = stringAt(error, "message");
    if (message && !message->empty())
        throw DesktopError(*message);
    throw DesktopError("服务器未能完成请求（" + std::to_string(result.status) + "）。请重新查看状态。");
}

Task<DesktopLoginSession> DesktopHost::verifySession(std::string token)
{
    if (!isUsableBearerToken(token))
        throw DesktopError(kUnverifiableAccount);
    Json me = co_await request("/v1/me", token);
    auto id = stringAt(me, "id");
    if (!id || id->empty())
        throw DesktopError(kUnverifiableAccount);
    auto email = stringAt(me, "email").value_or("");
    auto name = stringAt(me, "name").value_or("");
    std::string label = !email.empty() ? email : !name.empty() ? name : *id;
    co_return DesktopLoginSession { std::move(token), *id, std::move(label) };
}

void DesktopHost::verify(
    std::string token, std::function<void(std::optional<DesktopLoginSession>, std::optional<std::string>)> done)
{
    spawn(resume_, verifySession(std::move(token)),
        [done = std::move(done)](std::optional<DesktopLoginSession> session, std::exception_ptr error) {
            if (error)
                done(std::nullopt, describe(error));
            else
                done(std::move(session), std::nullopt);
        });
}

}
