// The sign-in state machine, driven without WebKit: FakeLoginWebView stands in
// for the browser and ManualTimers for the main loop's clock.
#include "signin/LoginActions.h"

#include "base/DesktopError.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

namespace korvid {
namespace {

using Kind = LoginActions::Phase::Kind;
using namespace std::chrono_literals;

// A hand-advanced clock: timers fire in due order when time is advanced.
class ManualTimers final : public MainTimers {
public:
    TimerHandle after(std::chrono::milliseconds delay, std::function<void()> work) override
    {
        auto entry = std::make_shared<Entry>();
        entry->due = now_ + delay;
        entry->work = std::move(work);
        entries_.push_back(entry);
        return TimerHandle(entry);
    }

    // Runs every timer due within `span`, and the executor's work after each.
    void advance(std::chrono::milliseconds span, ManualExecutor& main)
    {
        auto end = now_ + span;
        main.runUntilIdle();
        for (;;) {
            std::shared_ptr<Entry> next;
            for (auto& entry : entries_)
                if (!entry->cancelled && entry->due <= end && (!next || entry->due < next->due))
                    next = entry;
            if (!next)
                break;
            now_ = next->due;
            next->cancelled = true;
            auto work = std::move(next->work);
            work();
            main.runUntilIdle();
        }
        now_ = end;
        std::erase_if(entries_, [](auto& entry) { return entry->cancelled; });
    }

    std::size_t pending() const
    {
        return std::count_if(entries_.begin(), entries_.end(), [](auto& entry) { return !entry->cancelled; });
    }

private:
    struct Entry : TimerHandle::State {
        std::chrono::milliseconds due {};
        std::function<void()> work;
        bool cancelled = false;
        void cancel() override
        {
            cancelled = true;
            work = nullptr;
        }
    };

    std::chrono::milliseconds now_ {};
    std::vector<std::shared_ptr<Entry>> entries_;
};

// Records what the controller asks of its web view; evaluations and data
// removals wait until the test answers them.
class FakeLoginWebView final : public LoginWebView {
public:
    void stopLoading() override { ++stops; }

    NavigationID load(const std::string& url, std::chrono::seconds timeout) override
    {
        loads.push_back(url);
        EXPECT_EQ(timeout, 20s);
        return ++lastNavigation;
    }

    void replaceUserScripts(const std::string& source) override { userScripts = { source }; }

    void evaluateAsyncFunction(const std::string& body, const Json& arguments, EvaluationDone done) override
    {
        evaluations.push_back({ arguments, std::move(done) });
    }

    void removeAllWebsiteData(std::function<void()> done) override { removals.push_back(std::move(done)); }

    // Answers the oldest waiting probe.
    void answer(std::optional<Json> value)
    {
        ASSERT_FALSE(evaluations.empty());
        auto done = std::move(evaluations.front().done);
        evaluations.erase(evaluations.begin());
        if (value)
            done(std::move(value), std::nullopt);
        else
            done(std::nullopt, "TypeError");
    }

    struct Evaluation {
        Json arguments;
        EvaluationDone done;
    };

    int stops = 0;
    NavigationID lastNavigation = 100;
    std::vector<std::string> loads;
    std::vector<std::string> userScripts;
    std::vector<Evaluation> evaluations;
    std::vector<std::function<void()>> removals;
};

class LoginActionsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resources = std::filesystem::temp_directory_path()
            / ("korvid-login-" + std::to_string(::getpid()) + "-"
                + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(resources);
        std::ofstream(resources / "login.css") << ".card { color: #3060cc; }";
        make();
    }

    void TearDown() override
    {
        actions.reset();
        std::filesystem::remove_all(resources);
    }

    void make()
    {
        view = std::make_shared<FakeLoginWebView>();
        actions = LoginActions::make(
            view,
            [this](LoginActions::PrepareDone done) {
                ++prepares;
                if (holdPrepare)
                    heldPrepares.push_back(std::move(done));
                else if (prepareError.empty())
                    done(origin, {});
                else
                    done(std::nullopt, prepareError);
            },
            [this](const std::string& token, LoginActions::VerifyDone done) {
                verifiedTokens.push_back(token);
                pendingVerify.push_back(std::move(done));
            },
            [this](const DesktopLoginSession& session) { sessions.push_back(session); }, { main, timers, resources });
    }

    // start(), then the load begins and finishes.
    NavigationID loadPage()
    {
        actions->start();
        main.runUntilIdle();
        auto navigation = view->lastNavigation;
        actions->didStartProvisionalNavigation(navigation);
        actions->didFinish(navigation);
        main.runUntilIdle();
        return navigation;
    }

    void probeAgain() { timers.advance(250ms, main); }

    static DesktopLoginSession session(std::string id)
    {
        DesktopLoginSession value;
        value.token = "t-" + id;
        value.id = id;
        value.label = id;
        return value;
    }

    std::filesystem::path resources;
    ManualExecutor main;
    ManualTimers timers;
    std::shared_ptr<FakeLoginWebView> view;
    std::shared_ptr<LoginActions> actions;
    std::string origin = "http://127.0.0.1:8787";
    std::string prepareError;
    bool holdPrepare = false;
    int prepares = 0;
    std::vector<LoginActions::PrepareDone> heldPrepares;
    std::vector<std::string> verifiedTokens;
    std::vector<LoginActions::VerifyDone> pendingVerify;
    std::vector<DesktopLoginSession> sessions;
};

TEST_F(LoginActionsTest, StartLoadsTheOriginWithOneStyleScriptAndProbesWithTheOrigin)
{
    EXPECT_EQ(actions->phase(), LoginActions::Phase::loading());
    for (int reload = 0; reload < 3; ++reload)
        loadPage();
    EXPECT_EQ(view->loads, std::vector<std::string>(3, origin));
    ASSERT_EQ(view->userScripts.size(), 1u);
    EXPECT_NE(
        view->userScripts[0].find(R"(   const [host, css] = ["http://127.0.0.1:8787",".card { color: #3060cc; }"];)"),
        std::string::npos);
    // Only the last page's probe loop is alive: earlier loops' answers are dropped.
    ASSERT_EQ(view->evaluations.size(), 3u);
    EXPECT_EQ(view->evaluations[2].arguments, (Json { { "expected", origin } }));
    view->answer(Json { { "token", "stale" } });
    view->answer(Json { { "visible", true } });
    EXPECT_TRUE(verifiedTokens.empty());
    EXPECT_EQ(actions->phase().kind, Kind::loading);
    view->answer(Json { { "visible", true } });
    EXPECT_EQ(actions->phase().kind, Kind::ready);
}

TEST_F(LoginActionsTest, VisibleAnswerShowsThePageAndStopsTheDeadline)
{
    loadPage();
    view->answer(Json { { "visible", true } });
    EXPECT_EQ(actions->phase(), LoginActions::Phase::ready());
    // The loop keeps polling; answers without a token change nothing now.
    for (int i = 0; i < 40; ++i) {
        probeAgain();
        view->answer(Json { { "visible", false } });
    }
    timers.advance(21s, main);
    EXPECT_EQ(actions->phase(), LoginActions::Phase::ready());
}

TEST_F(LoginActionsTest, ThirtySecondMissFailsTheThirtyFirstDoesNot)
{
    loadPage();
    // Answers that are not "visible": true all count as misses.
    std::vector<std::optional<Json>> misses = { Json { { "token", "" } }, Json { { "visible", "true" } },
        Json { { "visible", 1 } }, std::nullopt, Json::array(), Json { { "visible", false } } };
    for (int i = 0; i < 31; ++i) {
        view->answer(misses[i % misses.size()]);
        ASSERT_EQ(actions->phase().kind, Kind::loading) << "miss " << i + 1;
        probeAgain();
    }
    view->answer(Json { { "visible", false } });
    EXPECT_EQ(actions->phase(), LoginActions::Phase::failed("登录页没有显示内容，请重新加载。"));
    probeAgain();
    EXPECT_TRUE(view->evaluations.empty());
}

TEST_F(LoginActionsTest, NewNavigationAfterReadyHidesThePageAndRestartsTheMissCount)
{
    auto first = loadPage();
    for (int i = 0; i < 20; ++i) {
        view->answer(Json { { "visible", false } });
        probeAgain();
    }
    view->answer(Json { { "visible", true } });
    ASSERT_EQ(actions->phase().kind, Kind::ready);
    probeAgain();
    actions->didStartProvisionalNavigation(first + 1);
    EXPECT_EQ(actions->phase().kind, Kind::loading);
    view->answer(Json { { "visible", false } }); // the old loop's answer comes late
    EXPECT_EQ(actions->phase().kind, Kind::loading);
    actions->didFinish(first); // not the current navigation
    main.runUntilIdle();
    EXPECT_TRUE(view->evaluations.empty());
    actions->didFinish(first + 1);
    main.runUntilIdle();
    for (int i = 0; i < 31; ++i) {
        view->answer(Json { { "visible", false } });
        probeAgain();
    }
    EXPECT_EQ(actions->phase().kind, Kind::loading);
}

TEST_F(LoginActionsTest, DeadlineFailsAStillLoadingPageAndStopsIt)
{
    actions->start();
    main.runUntilIdle();
    auto stops = view->stops;
    timers.advance(19999ms, main);
    EXPECT_EQ(actions->phase().kind, Kind::loading);
    // A provisional start restarts the 20 seconds.
    actions->didStartProvisionalNavigation(view->lastNavigation);
    timers.advance(19999ms, main);
    EXPECT_EQ(actions->phase().kind, Kind::loading);
    timers.advance(1ms, main);
    EXPECT_EQ(actions->phase(), LoginActions::Phase::failed("登录页加载超时，请检查服务连接后重试。"));
    EXPECT_EQ(view->stops, stops + 1);
}

TEST_F(LoginActionsTest, MainFrameStatusAbove399Fails)
{
    loadPage();
    EXPECT_TRUE(actions->decideResponse(true, 399));
    EXPECT_TRUE(actions->decideResponse(false, 404));
    EXPECT_TRUE(actions->decideResponse(true, std::nullopt));
    EXPECT_EQ(actions->phase().kind, Kind::loading);
    EXPECT_FALSE(actions->decideResponse(true, 400));
    EXPECT_EQ(actions->phase(), LoginActions::Phase::failed("登录服务返回 HTTP 400，请稍后重试。"));
    probeAgain();
    EXPECT_EQ(view->evaluations.size(), 1u); // the watcher was cancelled; its answer is dropped
    view->answer(Json { { "visible", true } });
    EXPECT_EQ(actions->phase().kind, Kind::failed);
}

TEST_F(LoginActionsTest, NavigationFailuresDependOnCodeHostAndPhase)
{
    struct Case {
        std::string origin;
        int code;
        std::optional<std::string> message;
    };
    std::vector<Case> cases = {
        { "http://127.0.0.1:8787", kCancelledLoadCode, std::nullopt },
        { "http://127.0.0.1:8787", -1004, "无法连接本机体验服务，请重新加载。" },
        { "https://127.0.0.1", 1, "无法连接本机体验服务，请重新加载。" },
        { "http://localhost:8787", -1004, "无法打开 Korvid 登录页，请检查网络连接后重试。" },
        { "https://app.korvid.cn", -1009, "无法打开 Korvid 登录页，请检查网络连接后重试。" },
    };
    for (auto& c : cases) {
        origin = c.origin;
        make();
        actions->start();
        main.runUntilIdle();
        actions->didFailProvisionalNavigation(view->lastNavigation + 7, -1); // not the current one
        EXPECT_EQ(actions->phase().kind, Kind::loading);
        actions->didFailProvisionalNavigation(view->lastNavigation, c.code);
        if (c.message)
            EXPECT_EQ(actions->phase(), LoginActions::Phase::failed(*c.message)) << c.origin;
        else
            EXPECT_EQ(actions->phase().kind, Kind::loading) << c.origin;
    }
    // Once the page shows, a failure of its navigation is ignored.
    loadPage();
    view->answer(Json { { "visible", true } });
    actions->didFail(view->lastNavigation, -1);
    EXPECT_EQ(actions->phase().kind, Kind::ready);
}

// A load WebKit refuses outright reports a failure with no start (or starts,
// then ends on an empty page the view reports as failed): either way the
// failure shows at once, and the finish that follows starts no probe.
TEST_F(LoginActionsTest, LoadRefusedBeforeItStartsFailsAtOnce)
{
    actions->start();
    main.runUntilIdle();
    auto navigation = view->lastNavigation;
    actions->didFailProvisionalNavigation(navigation, -1);
    EXPECT_EQ(actions->phase(), LoginActions::Phase::failed("无法连接本机体验服务，请重新加载。"));
    actions->didFinish(navigation);
    main.runUntilIdle();
    EXPECT_TRUE(view->evaluations.empty());

    actions->start();
    main.runUntilIdle();
    navigation = view->lastNavigation;
    actions->didStartProvisionalNavigation(navigation);
    actions->didFail(navigation, -1);
    EXPECT_EQ(actions->phase(), LoginActions::Phase::failed("无法连接本机体验服务，请重新加载。"));
    timers.advance(LoginActions::kLoadTimeout, main);
    EXPECT_EQ(actions->phase(), LoginActions::Phase::failed("无法连接本机体验服务，请重新加载。"));
}

TEST_F(LoginActionsTest, TokenIsVerifiedAndHandedOverExactlyOnce)
{
    loadPage();
    view->answer(Json { { "token", "abc" } });
    EXPECT_EQ(actions->phase().kind, Kind::verifying);
    EXPECT_EQ(verifiedTokens, std::vector<std::string> { "abc" });
    timers.advance(30s, main); // the deadline is off and the loop ended
    EXPECT_TRUE(view->evaluations.empty());
    EXPECT_EQ(actions->phase().kind, Kind::verifying);
    // A second finished load with a second token while verifying starts nothing.
    actions->didFinish(view->lastNavigation);
    main.runUntilIdle();
    EXPECT_TRUE(view->evaluations.empty());
    pendingVerify[0](session("u1"), {});
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].id, "u1");
    EXPECT_TRUE(actions->finished());
    EXPECT_EQ(actions->phase().kind, Kind::verifying);
    pendingVerify[0](session("u2"), {}); // a duplicate answer is dropped
    EXPECT_EQ(sessions.size(), 1u);
}

TEST_F(LoginActionsTest, ATokenThatWouldBreakARequestHeaderIsRefusedUnsent)
{
    for (std::string token :
        { std::string("abc\r\nX-Injected: 1"), std::string("a b"), std::string("令牌"), std::string(4097, 'a') }) {
        make();
        loadPage();
        view->answer(Json { { "token", token } });
        EXPECT_EQ(actions->phase(), LoginActions::Phase::verificationFailed("无法确认目标账号。"));
        EXPECT_TRUE(verifiedTokens.empty());
        timers.advance(30s, main); // neither the deadline nor the probe comes back
        EXPECT_EQ(actions->phase(), LoginActions::Phase::verificationFailed("无法确认目标账号。"));
        EXPECT_TRUE(view->evaluations.empty());
    }
    // Retrying on a page that now holds a sound token verifies it.
    actions->retryVerification();
    main.runUntilIdle();
    view->answer(Json { { "token", "sound-token" } });
    EXPECT_EQ(verifiedTokens, std::vector<std::string> { "sound-token" });
}

TEST_F(LoginActionsTest, TwoTokensInARowCallOnVerifiedOnce)
{
    loadPage();
    view->answer(Json { { "token", "first" } });
    // The user reloads the verifying page: a new navigation finds a token too.
    actions->didStartProvisionalNavigation(view->lastNavigation + 1);
    actions->didFinish(view->lastNavigation + 1);
    main.runUntilIdle();
    view->answer(Json { { "token", "second" } });
    ASSERT_EQ(pendingVerify.size(), 2u);
    pendingVerify[1](session("second"), {});
    pendingVerify[0](session("first"), {}); // its loop was cancelled
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].id, "second");
}

TEST_F(LoginActionsTest, RejectedTokenOffersRetryOnTheLoadedPage)
{
    auto navigation = loadPage();
    actions->retryVerification(); // not in verificationFailed: nothing
    EXPECT_EQ(actions->phase().kind, Kind::loading);
    view->answer(Json { { "token", "abc" } });
    pendingVerify[0](std::nullopt, "无法确认目标账号。");
    EXPECT_EQ(actions->phase(), LoginActions::Phase::verificationFailed("无法确认目标账号。"));
    auto loads = view->loads.size();
    actions->retryVerification();
    main.runUntilIdle();
    EXPECT_EQ(actions->phase().kind, Kind::loading);
    EXPECT_EQ(view->loads.size(), loads); // no reload
    ASSERT_EQ(view->evaluations.size(), 1u);
    view->answer(Json { { "token", "abc" } });
    pendingVerify[1](session("u"), {});
    EXPECT_EQ(sessions.size(), 1u);
    (void)navigation;
}

TEST_F(LoginActionsTest, VerifyFinishingAfterCancelIsDropped)
{
    loadPage();
    view->answer(Json { { "token", "abc" } });
    actions->cancel();
    pendingVerify[0](session("u"), {});
    EXPECT_TRUE(sessions.empty());
    EXPECT_EQ(actions->phase().kind, Kind::verifying);
    pendingVerify[0](std::nullopt, "会话已失效，请重新登录。");
    EXPECT_EQ(actions->phase().kind, Kind::verifying);
}

TEST_F(LoginActionsTest, StartTwiceQuicklyLoadsOnlyTheSecondAttempt)
{
    holdPrepare = true;
    actions->start();
    main.runUntilIdle();
    actions->start();
    main.runUntilIdle();
    ASSERT_EQ(heldPrepares.size(), 2u);
    heldPrepares[1](origin, {});
    heldPrepares[0]("http://first.invalid", {});
    EXPECT_EQ(view->loads, std::vector<std::string> { origin });
    EXPECT_EQ(actions->origin(), origin);
}

TEST_F(LoginActionsTest, StartAfterCancelOnlyResetsThePhase)
{
    loadPage();
    view->answer(Json { { "visible", true } });
    actions->cancel();
    EXPECT_EQ(actions->phase().kind, Kind::ready);
    actions->start();
    main.runUntilIdle();
    EXPECT_EQ(actions->phase().kind, Kind::loading);
    EXPECT_EQ(view->loads.size(), 1u);
    actions->didStartProvisionalNavigation(55); // ignored once finished
    timers.advance(25s, main);
    EXPECT_EQ(actions->phase().kind, Kind::loading);
    // Only the process end still reaches a finished controller.
    actions->webContentProcessDidTerminate();
    EXPECT_EQ(actions->phase(), LoginActions::Phase::failed("登录页面已中断，请重新加载。"));
}

TEST_F(LoginActionsTest, SignInAgainWipesDataThenStartsOver)
{
    loadPage();
    view->answer(Json { { "token", "abc" } });
    pendingVerify[0](std::nullopt, "无法确认目标账号。");
    actions->signInAgain();
    EXPECT_EQ(actions->phase().kind, Kind::loading);
    EXPECT_EQ(view->loads.size(), 1u);
    ASSERT_EQ(view->removals.size(), 1u);
    view->removals[0]();
    main.runUntilIdle();
    EXPECT_EQ(view->loads.size(), 2u);
    // A wipe finishing after a newer attempt (or a cancel) does not start again.
    actions->signInAgain();
    actions->cancel();
    view->removals[1]();
    main.runUntilIdle();
    EXPECT_EQ(view->loads.size(), 2u);
}

TEST_F(LoginActionsTest, SetupFailuresShowTheirSentence)
{
    prepareError = "服务地址无效。";
    actions->start();
    main.runUntilIdle();
    EXPECT_EQ(actions->phase(), LoginActions::Phase::failed("服务地址无效。"));

    prepareError.clear();
    std::filesystem::remove(resources / "login.css");
    actions->start();
    main.runUntilIdle();
    EXPECT_EQ(actions->phase(), LoginActions::Phase::failed("桌面登录资源缺失，请重新打开最新版 Korvid。"));

    std::ofstream(resources / "login.css") << "\xff\xfe broken";
    actions->start();
    main.runUntilIdle();
    EXPECT_EQ(actions->phase(), LoginActions::Phase::failed("桌面登录资源无法读取，请重新打开最新版 Korvid。"));
    EXPECT_TRUE(view->loads.empty());
}

TEST_F(LoginActionsTest, PhaseObserversSeeEachChange)
{
    std::vector<Kind> seen;
    auto id = actions->observePhase([&](const LoginActions::Phase& phase) { seen.push_back(phase.kind); });
    loadPage();
    view->answer(Json { { "visible", true } });
    actions->didStartProvisionalNavigation(view->lastNavigation + 1);
    actions->removePhaseObserver(id);
    actions->webContentProcessDidTerminate();
    EXPECT_EQ(seen, (std::vector<Kind> { Kind::ready, Kind::loading }));
}

}
}
