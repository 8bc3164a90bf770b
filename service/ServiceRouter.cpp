#include "service/ServiceRouter.h"

#include "base/DesktopError.h"
#include "service/ApiError.h"
#include "service/ServiceStore.h"

#include <algorithm>
#include <cstdio>

namespace korvid {

namespace {

std::vector<std::string> splitPath(const std::string& path)
{
    std::vector<std::string> segments;
    std::size_t start = 1;
    if (path.empty() || path[0] != '/')
        return { "\x01" }; // never matches
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        segments.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return segments;
}

bool startsWith(const std::string& text, std::string_view prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Nesting deeper than any body of this service needs is refused before
// parsing, so no hostile body can exhaust the stack of a recursive walk.
bool tooDeep(const std::string& text, int limit)
{
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

std::string lower(std::string text)
{
    std::transform(
        text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}

ServiceRouter::ServiceRouter(ServiceStore& store, ServiceConfig config)
    : store_(store)
    , config_(config)
{
}

void ServiceRouter::add(const std::string& method, const std::string& pattern, ApiHandler handler, int flags)
{
    routes_.push_back(Route { method, splitPath(pattern), std::move(handler), flags });
}

void ServiceRouter::addUnlocked(
    const std::string& method, const std::string& pattern, UnlockedHandler handler, int flags)
{
    routes_.push_back(Route { method, splitPath(pattern), nullptr, flags, std::move(handler) });
}

bool ServiceRouter::matches(
    const Route& route, const std::vector<std::string>& segments, std::vector<std::string>& params)
{
    if (route.segments.size() != segments.size())
        return false;
    params.clear();
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (route.segments[i] == "{}") {
            if (segments[i].empty())
                return false;
            params.push_back(segments[i]);
        } else if (route.segments[i] != segments[i]) {
            return false;
        }
    }
    return true;
}

void ServiceRouter::sendJson(httplib::Response& response, int status, const Json& body)
{
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json; charset=utf-8");
}

void ServiceRouter::sendError(
    httplib::Response& response, int status, const std::string& code, const std::string& message)
{
    sendJson(response, status, Json { { "code", code }, { "message", message } });
}

void ServiceRouter::fillLibraryError(httplib::Response& response)
{
    if (!response.body.empty() || response.status < 400)
        return;
    switch (response.status) {
    case 404:
        sendError(response, 404, "not_found", "没有这个地址");
        break;
    case 413:
        sendError(response, 413, "payload_too_large", "请求内容超过 1 MB 上限，请精简后重试。");
        break;
    case 400:
        sendError(response, 400, "bad_request", "请求格式不正确。");
        break;
    case 403:
        sendError(response, 403, "forbidden_origin", "不接受来自其他网站的登录请求。");
        break;
    case 408:
        sendError(response, 408, "request_timeout", "请求发送超时，请检查网络后重试。");
        break;
    case 415:
        sendError(response, 415, "unsupported_media_type", "请求内容必须是 JSON。");
        break;
    case 421:
        sendError(response, 421, "misdirected_request", "请求的主机名不是本机服务，已拒绝。");
        break;
    case 431:
        sendError(response, 431, "headers_too_large", "请求头过多或过大，请精简后重试。");
        break;
    case 500:
        sendError(response, 500, "internal", "服务内部出错，请稍后重试。");
        break;
    case 501:
        sendError(response, 501, "not_implemented", "不支持这种请求内容的传输方式。");
        break;
    case 505:
        sendError(response, 505, "http_version_not_supported", "不支持这个 HTTP 版本。");
        break;
    default:
        sendError(response, response.status, "request_failed", "服务暂时无法完成请求，请稍后重试。");
        break;
    }
}

void ServiceRouter::handle(const httplib::Request& http, httplib::Response& response)
{
    auto segments = splitPath(http.path);
    std::string method = http.method == "HEAD" ? "GET" : http.method;
    const Route* found = nullptr;
    std::vector<std::string> params;
    std::string allowed;
    for (const auto& route : routes_) {
        std::vector<std::string> candidate;
        if (!matches(route, segments, candidate))
            continue;
        allowed += (allowed.empty() ? "" : ", ") + route.method;
        if (route.method == method && !found) {
            found = &route;
            params = std::move(candidate);
        }
    }
    if (allowed.empty())
        return sendError(response, 404, "not_found", "没有这个地址");
    if (!found) {
        response.set_header("Allow", allowed);
        return sendError(response, 405, "method_not_allowed", "这个地址不支持该请求方法。");
    }

    ApiRequest request { http, response, config_, std::move(params) };
    try {
        if (startsWith(http.path, "/v1/") && http.get_header_value("x-korvid-privacy-version") != "2")
            throw ApiError(400, "privacy_version_required", "请更新到最新版 Korvid 后再试。");
        if (http.body.size() > kMaxBodyBytes)
            throw ApiError(413, "payload_too_large", "请求内容超过 1 MB 上限，请精简后重试。");
        if ((method == "POST" || method == "PUT" || method == "PATCH") && !(found->flags & NoBody))
            readBody(request);
        run(*found, request);
    } catch (const ApiError& error) {
        if (error.status == 401)
            response.set_header("WWW-Authenticate", "Bearer");
        sendError(response, error.status, error.code, error.message);
    } catch (const DesktopError& error) {
        sendError(response, 500, "storage_error", error.message);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvid-service: %s %s: %s\n", http.method.c_str(), http.path.c_str(), error.what());
        sendError(response, 500, "internal", "服务内部出错，请稍后重试。");
    }
}

void ServiceRouter::readBody(ApiRequest& request)
{
    const auto& http = request.http;
    std::string type = lower(http.get_header_value("Content-Type"));
    if (!type.empty() && type.find("application/json") == std::string::npos)
        throw ApiError(415, "unsupported_media_type", "请求内容必须是 JSON。");
    if (tooDeep(http.body, kMaxJsonDepth))
        throw ApiError(400, "invalid_json", "请求内容嵌套过深。");
    Json body = Json::parse(http.body, nullptr, false);
    if (body.is_discarded())
        throw ApiError(400, "invalid_json", "请求内容不是有效的 JSON。");
    if (!body.is_object())
        throw ApiError(400, "invalid_body", "请求内容必须是 JSON 对象。");
    request.body = std::move(body);
}

void ServiceRouter::run(const Route& route, ApiRequest& request)
{
    if (route.unlocked) {
        request.nowMs = ServiceStore::nowMs();
        Json result = route.unlocked(request, store_);
        if (!(route.flags & Raw))
            sendJson(request.response, 200, result);
        return;
    }
    Json result = store_.locked([&](Database& database) {
        request.nowMs = ServiceStore::nowMs();
        if (!(route.flags & Public)) {
            std::string authorization = request.http.get_header_value("Authorization");
            if (startsWith(authorization, "Bearer "))
                request.account = Accounts::authenticate(database, authorization.substr(7), request.nowMs);
            if (!request.account)
                throw ApiError(401, "unauthorized", "会话已失效，请重新登录。");
        }
        bool writes = route.method != "GET" && !(route.flags & NoTransaction);
        if (!writes)
            return route.handler(request, database);
        Transaction transaction(database);
        Json answer = route.handler(request, database);
        transaction.commit();
        return answer;
    });
    if (request.finish)
        result = store_.reading([&](Database& database) { return request.finish(database, std::move(result)); });
    if (!(route.flags & Raw))
        sendJson(request.response, 200, result);
}

}
