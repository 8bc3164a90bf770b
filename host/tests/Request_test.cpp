#include "host/tests/HostFixture.h"
#include "host/tests/PollLoop.h"

#include "host/CurlTransport.h"
#include "host/ServiceURL.h"

#include <algorithm>
#include <future>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/lsan_interface.h>
#define KORVID_LSAN 1
#endif
#endif

namespace korvid::testing {
namespace {

struct Answered {
    std::optional<Json> value;
    std::optional<std::string> error;
};

// Every request test runs over both ways the transport can be carried: its
// own thread handing answers back to the main executor, and the main loop
// driving libcurl directly.
enum class Carrier { ownThread, mainLoop };

void PrintTo(Carrier carrier, std::ostream* out)
{
    *out << (carrier == Carrier::mainLoop ? "main loop" : "own thread");
}

class RequestTest : public HostTest, public ::testing::WithParamInterface<Carrier> {
protected:
    RequestTest() { build({}); }
    ~RequestTest() override
    {
        service.release();
        drain();
        host.reset();
        main.runUntilIdle();
        // Nothing of the transport is left on the loop once the host is gone.
        EXPECT_EQ(loop.watching(), 0u);
        EXPECT_EQ(loop.pending(), 0u);
        if (GetParam() == Carrier::mainLoop && service.count() > 0)
            EXPECT_GT(loop.watchesMade(), 0u) << "the requests did not go through the loop";
    }

    void build(const std::function<void(DesktopHostOptions&)>& adjust)
    {
        HostTest::build([&](DesktopHostOptions& options) {
            if (GetParam() == Carrier::mainLoop)
                options.transport = std::make_shared<CurlLoopTransport>(loop);
            if (adjust)
                adjust(options);
        });
    }

    // Runs the main executor and the loop together.
    bool pump(const std::function<bool()>& done, int timeoutMs = 10000) { return loop.runUntil(main, done, timeoutMs); }

    Answered run(Task<Json> task)
    {
        Answered answered;
        bool done = false;
        spawn(main, std::move(task), [&](std::optional<Json> value, std::exception_ptr error) {
            answered.value = std::move(value);
            if (error)
                answered.error = describe(error);
            done = true;
        });
        EXPECT_TRUE(pump([&] { return done; }, 15000));
        return answered;
    }

    Answered get(std::string path, std::vector<QueryItem> query = {})
    {
        return run(
            host->request(std::move(path), "token-1", std::nullopt, std::nullopt, std::nullopt, std::move(query)));
    }

    PollLoop loop;
};

std::string carrierName(const ::testing::TestParamInfo<Carrier>& info)
{
    return info.param == Carrier::mainLoop ? "MainLoop" : "OwnThread";
}

TEST_P(RequestTest, SendsTheFourHeadersMethodPathQueryAndBody)
{
    service.answer("/v1/desktop/briefs/states", 200, R"({"states":{}})");
    auto answered = run(host->request("/v1/desktop/briefs/states", "token-1",
        Json { { "ids", Json::array() }, { "a", 1 } }, std::string("0b0c8a6e-4d5f-4c4b-9a59-4f1f0c8e7d21")));
    ASSERT_FALSE(answered.error) << *answered.error;
    EXPECT_EQ(*answered.value, Json::parse(R"({"states":{}})"));

    auto received = service.received();
    ASSERT_EQ(received.size(), 1u);
    const auto& request = received[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/v1/desktop/briefs/states"); // no trailing "?"
    EXPECT_EQ(request.header("Authorization"), "Bearer token-1");
    EXPECT_EQ(request.header("x-korvid-privacy-version"), "2");
    EXPECT_EQ(request.header("X-Turn"), "0b0c8a6e-4d5f-4c4b-9a59-4f1f0c8e7d21");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.body, R"({"ids":[],"a":1})"); // keys in the order given
    EXPECT_FALSE(request.hasHeader("Cookie"));
}

TEST_P(RequestTest, MethodFollowsBodyUnlessGiven)
{
    run(host->request("/v1/a", "token-1"));
    run(host->request("/v1/b", "token-1", Json::object()));
    run(host->request("/v1/c", "token-1", Json { { "x", 1 } }, std::nullopt, std::string("PUT")));
    run(host->request("/v1/d", "token-1", std::nullopt, std::nullopt, std::string("PATCH")));
    auto received = service.received();
    ASSERT_EQ(received.size(), 4u);
    EXPECT_EQ(received[0].method, "GET");
    EXPECT_FALSE(received[0].hasHeader("Content-Type"));
    EXPECT_FALSE(received[0].hasHeader("X-Turn"));
    EXPECT_EQ(received[1].method, "POST");
    EXPECT_EQ(received[1].body, "{}");
    EXPECT_EQ(received[2].method, "PUT");
    EXPECT_EQ(received[2].body, R"({"x":1})");
    EXPECT_EQ(received[3].method, "PATCH");
    EXPECT_EQ(received[3].body, "");
    EXPECT_FALSE(received[3].hasHeader("Content-Type")); // no body, so no type (and no form type either)
}

TEST_P(RequestTest, QueryItemsKeepTheirOrderAndAreEncoded)
{
    get("/v1/library", { { "view", "directory" }, { "since", "2024-05-01T08:30:00.000+08:00" } });
    get("/v1/x", { { "id", "a b&c=d/é" } });
    auto received = service.received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].target, "/v1/library?view=directory&since=2024-05-01T08:30:00.000%2B08:00");
    EXPECT_EQ(received[1].target, "/v1/x?id=a%20b%26c%3Dd/%C3%A9");
}

TEST_P(RequestTest, AnArrayIsWrappedAndOtherTopLevelValuesRefused)
{
    service.answer("/v1/array", 200, "[1,2]");
    service.answer("/v1/number", 200, "5");
    service.answer("/v1/broken", 200, "{\"a\":");
    service.answer("/v1/empty", 204, "");
    EXPECT_EQ(*get("/v1/array").value, Json::parse(R"({"items":[1,2]})"));
    EXPECT_EQ(get("/v1/number").error, "服务端返回格式异常。");
    EXPECT_EQ(get("/v1/broken").error, "服务端返回的数据无法解析。");
    EXPECT_EQ(get("/v1/empty").error, "服务端返回的数据无法解析。");
}

TEST_P(RequestTest, RedirectsAreNotFollowed)
{
    LoopbackService::Answer redirect;
    redirect.status = 302;
    redirect.body = "";
    redirect.headers["Location"] = service.origin() + "/v1/elsewhere";
    service.answer("/v1/moved", redirect);
    EXPECT_EQ(get("/v1/moved").error, "服务器未能完成请求（302）。请重新查看状态。");

    redirect.body = R"({"message":"请改用新地址。"})";
    service.answer("/v1/moved", redirect);
    EXPECT_EQ(get("/v1/moved").error, "请改用新地址。");

    for (const auto& request : service.received())
        EXPECT_NE(request.path, "/v1/elsewhere");
}

TEST_P(RequestTest, ErrorStatusesUseTheServiceMessageOrTheGenericText)
{
    service.answer("/v1/a", 500, R"({"code":"x","message":"服务暂时不可用。"})");
    service.answer("/v1/b", 500, R"({"code":"x","message":5})");
    service.answer("/v1/c", 422, "not json");
    service.answer("/v1/d", 400, R"(["message"])");
    EXPECT_EQ(get("/v1/a").error, "服务暂时不可用。");
    EXPECT_EQ(get("/v1/b").error, "服务器未能完成请求（500）。请重新查看状态。");
    EXPECT_EQ(get("/v1/c").error, "服务器未能完成请求（422）。请重新查看状态。");
    EXPECT_EQ(get("/v1/d").error, "服务器未能完成请求（400）。请重新查看状态。");
}

TEST_P(RequestTest, A401ForTheCurrentTokenSignsOutAndForAnOlderOneDoesNot)
{
    service.answer("/v1/me", 401, "{}");
    auto older = run(host->request("/v1/me", "token-0"));
    EXPECT_EQ(older.error, "会话已失效，请重新登录。");
    EXPECT_EQ(host->screen(), Screen::workspace);
    EXPECT_EQ(host->sessionToken(), "token-1");

    auto current = run(host->request("/v1/me", "token-1"));
    EXPECT_EQ(current.error, "会话已失效，请重新登录。");
    EXPECT_EQ(host->screen(), Screen::authentication);
    EXPECT_FALSE(host->session());
}

TEST_P(RequestTest, NotFoundFallbacks)
{
    const char* notOffered = R"({"code":"not_found","message":"没有这个地址"})";
    service.answer("/v1/desktop/sales/minutes", 404, notOffered);
    service.answer("/v1/desktop/commercial/partners", 404, notOffered);
    service.answer("/v1/desktop/commercial/sessions", 404, notOffered);
    service.answer("/v1/events", 200, R"({"items":[{"id":"e1"}],"extra":1})");

    EXPECT_EQ(*get("/v1/desktop/sales/minutes").value, Json::parse(R"({"minutesUnavailable":true})"));
    EXPECT_EQ(*get("/v1/desktop/commercial/partners").value, Json::parse(R"({"profilesUnavailable":true})"));
    EXPECT_EQ(*get("/v1/desktop/commercial/sessions").value,
        Json::parse(R"({"items":[{"id":"e1"}],"sourcesUnavailable":true})"));
    auto received = service.received();
    ASSERT_EQ(received.size(), 4u);
    EXPECT_EQ(received[3].target, "/v1/events");
    EXPECT_EQ(received[3].method, "GET");
    EXPECT_EQ(received[3].header("Authorization"), "Bearer token-1");

    // The fallback is for GET only, for that exact error, and for those paths.
    auto post = run(host->request("/v1/desktop/sales/minutes", "token-1", Json::object()));
    EXPECT_EQ(post.error, "没有这个地址");
    service.answer("/v1/desktop/sales/minutes", 404, R"({"code":"not_found","message":"别的说法"})");
    EXPECT_EQ(get("/v1/desktop/sales/minutes").error, "别的说法");
    service.answer("/v1/desktop/sales/rules", 404, notOffered);
    EXPECT_EQ(get("/v1/desktop/sales/rules").error, "没有这个地址");
}

TEST_P(RequestTest, EventsFallbackRefusesAnythingButAListOfObjects)
{
    const char* notOffered = R"({"code":"not_found","message":"没有这个地址"})";
    service.answer("/v1/desktop/commercial/sessions", 404, notOffered);
    service.answer("/v1/events", 200, R"({"items":[1]})");
    EXPECT_EQ(get("/v1/desktop/commercial/sessions").error, "活动列表格式异常。");
    service.answer("/v1/events", 200, R"({"rows":[]})");
    EXPECT_EQ(get("/v1/desktop/commercial/sessions").error, "活动列表格式异常。");
    service.answer("/v1/events", 401, "{}");
    EXPECT_EQ(get("/v1/desktop/commercial/sessions").error, "会话已失效，请重新登录。");
    EXPECT_FALSE(host->session()); // the inner request's own 401 rule applied
}

TEST_P(RequestTest, LibraryIsReadAsADirectoryIncrementallyOnlyWithSince)
{
    service.answer("/v1/library", 200,
        R"({"serverTime":"t","companies":[{"id":"c1","name":"甲","phone":"1"},{"id":"c2","deleted":true}],"contacts":[]})");
    auto full = get("/v1/library", { { "view", "directory" } });
    ASSERT_FALSE(full.error) << *full.error;
    EXPECT_EQ(*full.value, Json::parse(R"({"serverTime":"t","companies":[{"id":"c1","name":"甲"}],"contacts":[]})"));
    auto incremental = get("/v1/library", { { "view", "directory" }, { "since", "2024-05-01T08:30:00.000Z" } });
    ASSERT_FALSE(incremental.error) << *incremental.error;
    EXPECT_EQ((*incremental.value)["companies"][1], Json::parse(R"({"id":"c2","deleted":true})"));
}

TEST_P(RequestTest, InvalidOriginIsRefusedBeforeSending)
{
    host->origin = "ftp://example.org";
    EXPECT_EQ(get("/v1/me").error, "服务地址无效。");
    host->origin = "https://example.org/base";
    EXPECT_EQ(get("/v1/me").error, "服务地址无效。");
    EXPECT_EQ(service.count(), 0u);
}

TEST(ServiceURL, OriginsAndFileURLs)
{
    EXPECT_EQ(serviceURL("https://[::1]:8443", "/v1/me", {}), "https://[::1]:8443/v1/me");
    EXPECT_FALSE(serviceURL("https://", "/v1/me", {}));
    EXPECT_FALSE(serviceURL("https://a.cn?x=1", "/v1/me", {}));
    EXPECT_FALSE(serviceURL("https://a.cn", "v1/me", {}));
    EXPECT_EQ(serviceURL("https://a.cn", "/v1/a b", {}), "https://a.cn/v1/a%20b");
    EXPECT_EQ(fileURL("/opt/Korvid 桌面/resources/Desktop.html"),
        "file:///opt/Korvid%20%E6%A1%8C%E9%9D%A2/resources/Desktop.html");
}

TEST_P(RequestTest, BodyThatCannotBeEncodedIsNotSent)
{
    auto answered = run(host->request("/v1/a", "token-1", Json { { "text", std::string("\xff\xfe") } }));
    EXPECT_EQ(answered.error, "请求内容无法编码为 JSON，未发送。");
    EXPECT_EQ(service.count(), 0u);
}

TEST_P(RequestTest, TransportFailuresAreChineseSentences)
{
    host->origin = "http://127.0.0.1:1"; // nothing listens there
    EXPECT_EQ(get("/v1/me").error, "无法连接服务器，请检查网络后重试。");
}

TEST_P(RequestTest, ATurnGetsTheLongerTimeout)
{
    build([](DesktopHostOptions& options) {
        options.requestTimeout = std::chrono::milliseconds(300);
        options.turnTimeout = std::chrono::milliseconds(3000);
    });
    service.answer("/v1/slow", slowAnswer("{}", 900));
    EXPECT_EQ(get("/v1/slow").error, "连接服务器超时，请稍后重试。");
    auto withTurn = run(
        host->request("/v1/slow", "token-1", Json::object(), std::string("0b0c8a6e-4d5f-4c4b-9a59-4f1f0c8e7d21")));
    EXPECT_FALSE(withTurn.error) << *withTurn.error;
}

TEST_P(RequestTest, AnAnswerOverTheSizeLimitFailsInsteadOfFillingMemory)
{
    service.answer("/v1/huge", 200, "[\"" + std::string(CurlTransport::kResponseLimit, 'x') + "\"]");
    EXPECT_EQ(get("/v1/huge").error, "服务端返回的数据过大，无法读取。");
    // The connection given up on leaves the next request unharmed.
    service.answer("/v1/huge", 200, "[1]");
    EXPECT_EQ(get("/v1/huge").value, Json::parse(R"({"items":[1]})"));
}

TEST_P(RequestTest, SeveralRequestsRunAtOnce)
{
    service.answer("/v1/slow", slowAnswer(R"({"slow":true})", 400));
    service.answer("/v1/fast", 200, R"({"fast":true})");
    std::vector<std::string> order;
    spawn(main, host->request("/v1/slow", "token-1"),
        [&](std::optional<Json>, std::exception_ptr) { order.push_back("slow"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    spawn(main, host->request("/v1/fast", "token-1"),
        [&](std::optional<Json>, std::exception_ptr) { order.push_back("fast"); });
    pump([&] { return order.size() == 2; });
    EXPECT_EQ(order, (std::vector<std::string> { "fast", "slow" }));
}

// ---- Teardown with requests in flight ----------------------------------------------------

Json salesRules()
{
    return Json { { "op", "sales" }, { "owner", "account-1" }, { "action", "rules" } };
}

// Torn down as the application is (the bridge, then the host with its
// transport, the loop last) while the service has not answered: each page
// message still gets its one reply, the sign-in check's callback is let go
// uncalled, and no waiting coroutine is left behind.
TEST_P(RequestTest, TearingDownWithRequestsInFlightAnswersEachPageOnceAndFreesEverything)
{
    service.hold();
    std::vector<std::shared_ptr<Outcome>> outcomes { post(salesRules()), post(salesRules()) };
    auto held = std::make_shared<int>(0);
    int verified = 0;
    host->verify("token-2", [&verified, held](auto, auto) { ++verified; });
    ASSERT_TRUE(pump([&] { return service.count() == 3; }));

    bridge.reset();
    for (const auto& outcome : outcomes) {
        EXPECT_EQ(outcome->calls, 1);
        EXPECT_EQ(outcome->error, "操作未完成，请重试。");
    }
    host.reset();
    EXPECT_EQ(held.use_count(), 1) << "the sign-in check's callback was kept";
    service.release();
    pump([] { return false; }, 100);
    EXPECT_EQ(verified, 0);
    for (const auto& outcome : outcomes)
        EXPECT_EQ(outcome->calls, 1);
#ifdef KORVID_LSAN
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "a coroutine frame was leaked";
#endif
}

// An answer that arrives after the bridge has gone, while the host still
// runs, resumes none of the bridge's operations (AddressSanitizer checks).
TEST_P(RequestTest, AnAnswerAfterTheBridgeHasGoneResumesNothing)
{
    service.answer("/v1/desktop/sales/rules", 200, R"({"rules":[]})");
    service.hold();
    auto outcome = post(salesRules());
    ASSERT_TRUE(pump([&] { return service.count() == 1; }));
    bridge.reset();
    EXPECT_EQ(outcome->error, "操作未完成，请重试。");
    service.release();
    // The host goes on answering its own requests meanwhile.
    EXPECT_EQ(get("/v1/desktop/sales/rules").value, Json::parse(R"({"rules":[]})"));
    pump([] { return false; }, 100);
    EXPECT_EQ(outcome->calls, 1);
}

TEST_P(RequestTest, OneConnectionServesSuccessiveRequests)
{
    for (int i = 0; i < 3; ++i)
        get("/v1/me");
    auto received = service.received();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].remotePort, received[1].remotePort);
    EXPECT_EQ(received[1].remotePort, received[2].remotePort);
}

TEST_P(RequestTest, VerifyBuildsTheSessionLabel)
{
    struct Case {
        const char* answer;
        std::optional<std::string> label;
        std::optional<std::string> error;
    };
    const Case cases[] = {
        { R"({"id":"u1","email":"a@b.cn","name":"甲"})", "a@b.cn", std::nullopt },
        { R"({"id":"u1","email":"","name":"甲"})", "甲", std::nullopt },
        { R"({"id":"u1","email":5})", "u1", std::nullopt },
        { R"({"id":""})", std::nullopt, "无法确认目标账号。" },
        { R"({"id":7})", std::nullopt, "无法确认目标账号。" },
    };
    for (const auto& c : cases) {
        service.answer("/v1/me", 200, c.answer);
        std::optional<DesktopLoginSession> session;
        std::optional<std::string> error;
        bool done = false;
        host->verify("token-9", [&](std::optional<DesktopLoginSession> s, std::optional<std::string> e) {
            session = s;
            error = e;
            done = true;
        });
        ASSERT_TRUE(pump([&] { return done; }));
        EXPECT_EQ(error, c.error) << c.answer;
        if (c.label) {
            ASSERT_TRUE(session);
            EXPECT_EQ(session->label, *c.label);
            EXPECT_EQ(session->id, "u1");
            EXPECT_EQ(session->token, "token-9");
        }
    }
    EXPECT_EQ(service.received().back().header("Authorization"), "Bearer token-9");
    EXPECT_EQ(service.received().back().method, "GET");
}

// ---- Tokens a page may have planted -----------------------------------------------------

TEST_P(RequestTest, ATokenThatCouldNotStandInAHeaderIsRefusedBeforeAnyRequest)
{
    service.answer("/v1/me", 200, R"({"id":"u1"})");
    const std::string refused[] = {
        "tok\r\nX-Injected: 1",
        "tok\nX-Injected: 1",
        "tok\r",
        "two words",
        "tab\tbed",
        std::string("nul\0x", 5),
        "令牌",
        "",
        std::string(4097, 'a'),
    };
    for (const auto& token : refused) {
        std::optional<std::string> error;
        bool done = false;
        host->verify(token, [&](std::optional<DesktopLoginSession> session, std::optional<std::string> e) {
            EXPECT_FALSE(session);
            error = e;
            done = true;
        });
        ASSERT_TRUE(pump([&] { return done; }));
        EXPECT_EQ(error, "无法确认目标账号。") << token;
        // Nor may any other request carry it.
        EXPECT_EQ(run(host->request("/v1/desktop/sales/rules", token)).error, "无法确认目标账号。");
    }
    EXPECT_EQ(service.count(), 0u);

    // The longest accepted token is still sent as it is.
    std::string longest(4096, '~');
    longest.front() = '!';
    EXPECT_FALSE(run(host->request("/v1/me", longest)).error);
    EXPECT_EQ(service.received().back().header("Authorization"), "Bearer " + longest);
}

TEST(CurlTransport, NeverSendsAHeaderWithALineBreakOrNul)
{
    LoopbackService service;
    CurlTransport transport;
    auto send = [&](std::string name, std::string value) {
        std::promise<HttpResult> promise;
        HttpRequest request;
        request.method = "GET";
        request.url = service.origin() + "/v1/me";
        request.headers.emplace_back(std::move(name), std::move(value));
        transport.send(std::move(request), [&](HttpResult result) { promise.set_value(std::move(result)); });
        return promise.get_future().get();
    };
    for (auto [name, value] : std::vector<std::pair<std::string, std::string>> {
             { "Authorization", "Bearer a\r\nX-Injected: 1" },
             { "Authorization", "Bearer a\nX-Injected: 1" },
             { "Authorization", std::string("Bearer a\0b", 10) },
             { "X-Injected: 1\r\nAuthorization", "Bearer a" },
         }) {
        HttpResult result = send(name, value);
        EXPECT_EQ(result.error, "请求头含有换行或空字符，未发送。") << value;
        EXPECT_EQ(result.status, 0);
    }
    EXPECT_EQ(service.count(), 0u);
    // The handle set aside for the refused request still serves the next one.
    EXPECT_EQ(send("Authorization", "Bearer a").status, 200);
    EXPECT_EQ(service.received().back().header("Authorization"), "Bearer a");
}

// ---- The transport on the main loop ------------------------------------------------------

class LoopTransportTest : public ::testing::Test {
protected:
    bool pump(const std::function<bool()>& done, int timeoutMs = 10000) { return loop.runUntil(main, done, timeoutMs); }
    HttpRequest get(const std::string& path)
    {
        HttpRequest request;
        request.method = "GET";
        request.url = service.origin() + path;
        request.headers.emplace_back("Authorization", "Bearer a");
        return request;
    }

    ManualExecutor main;
    PollLoop loop;
    LoopbackService service;
};

TEST_F(LoopTransportTest, ARefusedHeaderIsAnsweredOnALaterTurnAndNeverSent)
{
    CurlLoopTransport transport(loop);
    for (auto value : { std::string("Bearer a\r\nX-Injected: 1"), std::string("Bearer a\0b", 10) }) {
        auto request = get("/v1/me");
        request.headers[0].second = value;
        std::optional<HttpResult> result;
        transport.send(std::move(request), [&](HttpResult arrived) { result = std::move(arrived); });
        EXPECT_FALSE(result) << "answered from inside send";
        ASSERT_TRUE(pump([&] { return result.has_value(); }));
        EXPECT_EQ(result->error, "请求头含有换行或空字符，未发送。");
        EXPECT_EQ(result->status, 0);
    }
    EXPECT_EQ(service.count(), 0u);

    std::optional<HttpResult> fine;
    transport.send(get("/v1/me"), [&](HttpResult arrived) { fine = std::move(arrived); });
    ASSERT_TRUE(pump([&] { return fine.has_value(); }));
    EXPECT_EQ(fine->status, 200);
    EXPECT_EQ(service.received().back().header("Authorization"), "Bearer a");
}

TEST_F(LoopTransportTest, ATransferThatEndsAsItStartsIsAnsweredOnALaterTurn)
{
    CurlLoopTransport transport(loop);
    std::vector<std::pair<std::string, std::string>> cases = {
        { "ftp://127.0.0.1/v1/me", "服务地址无效。" },
        { "http://127.0.0.1:1/v1/me", "无法连接服务器，请检查网络后重试。" },
    };
    for (const auto& [url, sentence] : cases) {
        auto request = get("/v1/me");
        request.url = url;
        std::optional<HttpResult> result;
        transport.send(std::move(request), [&](HttpResult arrived) { result = std::move(arrived); });
        EXPECT_FALSE(result) << "answered from inside send";
        ASSERT_TRUE(pump([&] { return result.has_value(); }));
        EXPECT_EQ(result->error, sentence) << url;
    }
    // The handles those used serve the next requests, each answered once.
    int answers = 0;
    transport.send(get("/v1/me"), [&](HttpResult result) { answers += result.status == 200 ? 1 : 100; });
    transport.send(get("/v1/me"), [&](HttpResult result) { answers += result.status == 200 ? 1 : 100; });
    ASSERT_TRUE(pump([&] { return answers >= 2; }));
    pump([] { return false; }, 50);
    EXPECT_EQ(answers, 2);
}

TEST_F(LoopTransportTest, AnAnswerMayStartTheNextRequestOnTheSameConnection)
{
    CurlLoopTransport transport(loop);
    std::vector<long> statuses;
    std::function<void(HttpResult)> next = [&](HttpResult result) {
        statuses.push_back(result.status);
        if (statuses.size() < 5)
            transport.send(get("/v1/me"), next);
    };
    transport.send(get("/v1/me"), next);
    ASSERT_TRUE(pump([&] { return statuses.size() == 5; }));
    EXPECT_EQ(statuses, std::vector<long>(5, 200));
    auto received = service.received();
    ASSERT_EQ(received.size(), 5u);
    for (const auto& request : received)
        EXPECT_EQ(request.remotePort, received[0].remotePort);
}

TEST_F(LoopTransportTest, ManyAtOnceAreEachAnsweredOnceWithTheirOwnBody)
{
    CurlLoopTransport transport(loop);
    constexpr int kCount = 6; // the test server keeps a thread per open connection
    for (int i = 0; i < kCount; ++i)
        service.answer("/v1/n" + std::to_string(i), slowAnswer("{\"n\":" + std::to_string(i) + "}", 20 * (kCount - i)));
    std::vector<int> calls(kCount, 0);
    std::vector<std::string> bodies(kCount);
    for (int i = 0; i < kCount; ++i)
        transport.send(get("/v1/n" + std::to_string(i)), [&, i](HttpResult result) {
            ++calls[i];
            bodies[i] = result.body;
        });
    ASSERT_TRUE(pump([&] { return std::count(calls.begin(), calls.end(), 1) == kCount; }, 15000));
    pump([] { return false; }, 50);
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(calls[i], 1);
        EXPECT_EQ(bodies[i], "{\"n\":" + std::to_string(i) + "}");
    }
}

TEST_F(LoopTransportTest, ARequestFromAnotherThreadFailsThereUnsent)
{
    CurlLoopTransport transport(loop);
    std::optional<HttpResult> result;
    std::thread::id answeredOn;
    std::thread other([&] {
        transport.send(get("/v1/me"), [&](HttpResult arrived) {
            result = std::move(arrived);
            answeredOn = std::this_thread::get_id();
        });
    });
    auto otherId = other.get_id();
    other.join();
    ASSERT_TRUE(result);
    EXPECT_EQ(answeredOn, otherId);
    EXPECT_EQ(result->error, "网络请求失败，请稍后重试。");
    pump([] { return false; }, 50);
    EXPECT_EQ(service.count(), 0u);
    EXPECT_EQ(loop.watching(), 0u);
}

TEST_F(LoopTransportTest, TearingDownWithRequestsInFlightGivesEverythingBack)
{
    service.hold();
    auto captured = std::make_shared<int>(0);
    int calls = 0;
    {
        CurlLoopTransport transport(loop);
        for (int i = 0; i < 3; ++i)
            transport.send(get("/v1/me"), [&calls, captured](HttpResult) { ++calls; });
        ASSERT_TRUE(pump([&] { return service.count() == 3; }));
        EXPECT_GT(loop.watching(), 0u);
        auto refused = get("/v1/me");
        refused.headers[0].second = "a\nb";
        transport.send(std::move(refused), [&calls, captured](HttpResult) { ++calls; });
    }
    EXPECT_EQ(loop.watching(), 0u);
    EXPECT_EQ(loop.pending(), 0u);
    EXPECT_EQ(captured.use_count(), 1) << "an abandoned request's callback was kept";
    pump([] { return false; }, 50);
    EXPECT_EQ(calls, 0);
    service.release();
}

// ---- Slow links -------------------------------------------------------------------------

// A loopback HTTP server that answers one request with a JSON body sent byte
// by byte: `pace` between bytes, and after `stallAfter` bytes one pause of
// `stall`. Stands for a slow link to the service.
class TricklingServer {
public:
    TricklingServer(std::size_t bodyBytes, std::chrono::milliseconds pace, std::size_t stallAfter = SIZE_MAX,
        std::chrono::milliseconds stall = {})
    {
        body_ = "{\"pad\":\"" + std::string(bodyBytes, 'x') + "\"}";
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener_, 4), 0);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([=, this] { serve(pace, stallAfter, stall); });
    }
    ~TricklingServer()
    {
        stopping_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
    const std::string& body() const { return body_; }

private:
    void serve(std::chrono::milliseconds pace, std::size_t stallAfter, std::chrono::milliseconds stall)
    {
        int client = ::accept(listener_, nullptr, nullptr);
        if (client < 0)
            return;
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            request.append(buffer, static_cast<std::size_t>(got));
        }
        std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
            + std::to_string(body_.size()) + "\r\n\r\n";
        bool open = ::send(client, head.data(), head.size(), MSG_NOSIGNAL) > 0;
        for (std::size_t i = 0; open && !stopping_ && i < body_.size(); ++i) {
            if (i == stallAfter)
                sleep(stall);
            else
                sleep(pace);
            open = ::send(client, body_.data() + i, 1, MSG_NOSIGNAL) == 1;
        }
        ::close(client);
    }
    void sleep(std::chrono::milliseconds span)
    {
        auto until = std::chrono::steady_clock::now() + span;
        while (!stopping_ && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    std::string body_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_ { false };
    std::thread thread_;
};

INSTANTIATE_TEST_SUITE_P(Carriers, RequestTest, ::testing::Values(Carrier::ownThread, Carrier::mainLoop), carrierName);

class SlowLinkTest : public RequestTest {
protected:
    void limits(std::chrono::milliseconds idle, std::chrono::milliseconds whole)
    {
        build([=](DesktopHostOptions& options) {
            options.requestTimeout = idle;
            options.transferLimit = whole;
        });
    }
    std::pair<Answered, std::chrono::milliseconds> timed(const std::string& origin)
    {
        host->origin = origin;
        auto start = std::chrono::steady_clock::now();
        Answered answered = get("/v1/desktop/sales/rules");
        return { answered,
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start) };
    }
};

TEST_P(SlowLinkTest, AnAnswerThatKeepsComingOutlastsTheIdleLimit)
{
    limits(std::chrono::milliseconds(700), std::chrono::seconds(30));
    TricklingServer server(14, std::chrono::milliseconds(120)); // about 2.6 s, never 120 ms silent
    auto [answered, took] = timed(server.origin());
    ASSERT_FALSE(answered.error) << *answered.error;
    EXPECT_EQ(answered.value, Json::parse(server.body()));
    EXPECT_GT(took, std::chrono::milliseconds(1500));
}

TEST_P(SlowLinkTest, SilenceInTheMiddleOfAnAnswerEndsItAtTheIdleLimit)
{
    limits(std::chrono::milliseconds(700), std::chrono::seconds(30));
    TricklingServer server(14, std::chrono::milliseconds(20), 5, std::chrono::seconds(8));
    auto [answered, took] = timed(server.origin());
    EXPECT_EQ(answered.error, "连接服务器超时，请稍后重试。");
    EXPECT_GE(took, std::chrono::milliseconds(700));
    EXPECT_LT(took, std::chrono::milliseconds(4000));
}

TEST_P(SlowLinkTest, TheWholeTransferIsCappedEvenWhileBytesKeepComing)
{
    limits(std::chrono::milliseconds(700), std::chrono::milliseconds(1500));
    TricklingServer server(200, std::chrono::milliseconds(50)); // 10 s in all
    auto [answered, took] = timed(server.origin());
    EXPECT_EQ(answered.error, "连接服务器超时，请稍后重试。");
    EXPECT_GE(took, std::chrono::milliseconds(1400));
    EXPECT_LT(took, std::chrono::milliseconds(5000));
}

INSTANTIATE_TEST_SUITE_P(Carriers, SlowLinkTest, ::testing::Values(Carrier::ownThread, Carrier::mainLoop), carrierName);

}
}
