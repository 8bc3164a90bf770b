#include "host/tests/HostFixture.h"

#include <fstream>

namespace korvid::testing {
namespace {

const char* kTask = "0B0C8A6E-4D5F-4C4B-9A59-4F1F0C8E7D21";
const char* kTaskLower = "0b0c8a6e-4d5f-4c4b-9a59-4f1f0c8e7d21";

Json message(const char* op, Json extra = Json::object())
{
    Json body { { "op", op }, { "owner", "account-1" } };
    for (auto& [key, value] : extra.items())
        body[key] = value;
    return body;
}

using BridgeTest = HostTest;

// ---- Gate and dispatch start -----------------------------------------------------

TEST_F(BridgeTest, GateRefusesAtOnceWithoutLookingAtOp)
{
    auto other = std::make_shared<FakePageView>();
    std::vector<std::shared_ptr<Outcome>> refused = {
        postFrom(message("session"), other, true, kPageURL),               // another web view
        postFrom(message("session"), view, false, kPageURL),               // an embedded frame
        postFrom(message("session"), view, true, "https://evil.example/"), // another page
        postFrom(message("session"), view, true, std::string(kPageURL) + "#x"),
        postFrom(message("session"), nullptr, true, kPageURL), // the view is gone
        post(Json::array({ "session" })),
        post(Json { { "owner", "account-1" } }),
        post(Json { { "op", 5 } }),
        post(Json("session")),
    };
    for (const auto& outcome : refused) {
        EXPECT_EQ(outcome->calls, 1);
        EXPECT_EQ(outcome->error, "无效请求");
    }
    EXPECT_EQ(main.runUntilIdle(), 0u);
}

TEST_F(BridgeTest, GateRefusesWhileSignedOut)
{
    host->signOut();
    host->setWorkspaceWeb(view);
    auto outcome = post(message("session"));
    EXPECT_EQ(outcome->error, "无效请求");
}

TEST_F(BridgeTest, UnknownOpAndCaseMatter)
{
    expectError(call(message("Session")), "不支持的操作。");
    expectError(call(message("nothing")), "不支持的操作。");
}

TEST_F(BridgeTest, AnOperationThatNeedNotWaitRepliesBeforeTheEntryReturns)
{
    // No turn of the main loop between the gate and the reply.
    auto outcome = post(message("session"));
    ASSERT_EQ(outcome->calls, 1);
    expectValue(*outcome, Json { { "id", "account-1" }, { "label", "一号" }, { "destination", "home" } });
    // Signing out afterwards does not answer it again.
    host->signOut();
    main.runUntilIdle();
    EXPECT_EQ(outcome->calls, 1);
}

TEST_F(BridgeTest, SessionAndLogout)
{
    expectValue(
        call(message("session")), Json { { "id", "account-1" }, { "label", "一号" }, { "destination", "home" } });
    expectValue(call(message("logout")), true);
    EXPECT_EQ(host->screen(), Screen::authentication);
    EXPECT_FALSE(host->workspaceWeb());
    EXPECT_EQ(post(message("session"))->error, "无效请求");
}

// ---- Machine and theme ---------------------------------------------------------------

TEST_F(BridgeTest, PermissionsAsksOnlyForWhatIsMissing)
{
    int accessibilityRequests = 0, captureRequests = 0;
    bool captureAllowed = true;
    bridge->machine.requestAccessibility = [&] { ++accessibilityRequests; };
    bridge->machine.requestScreenCapture = [&] { ++captureRequests; };
    bridge->machine.screenCaptureAllowed = [&] { return captureAllowed; };
    expectValue(call(message("permissions")), true);
    EXPECT_EQ(accessibilityRequests, 1);
    EXPECT_EQ(captureRequests, 0);
    captureAllowed = false;
    expectValue(call(message("permissions")), true);
    EXPECT_EQ(captureRequests, 1);
}

TEST_F(BridgeTest, DeviceStatusNeverPrompts)
{
    int prompts = 0;
    bridge->machine.requestAccessibility = [&] { ++prompts; };
    bridge->machine.requestScreenCapture = [&] { ++prompts; };
    expectValue(call(message("deviceStatus")), Json { { "accessibility", false }, { "screen", true } });
    bridge->machine.accessibilityTrusted = [](auto done) { done(true); };
    bridge->machine.screenCaptureAllowed = [] { return false; };
    expectValue(call(message("deviceStatus")), Json { { "accessibility", true }, { "screen", false } });
    EXPECT_EQ(prompts, 0);
}

TEST_F(BridgeTest, AppearanceStoresAppliesAndReports)
{
    std::vector<DesktopAppearance> applied;
    bridge->machine.applyAppearance = [&](DesktopAppearance theme) { applied.push_back(theme); };

    expectValue(call(message("appearance")), Json { { "value", "system" } });
    expectValue(call(message("appearance", { { "value", "light" } })), Json { { "value", "light" } });
    EXPECT_EQ(applied, std::vector { DesktopAppearance::light });

    expectError(call(message("appearance", { { "value", "Dark" } })), "未知的颜色主题。");
    expectValue(call(message("appearance", { { "value", 2 } })), Json { { "value", "light" } }); // ignored
    EXPECT_EQ(applied.size(), 1u);

    // The next launch reads it back.
    EXPECT_EQ(savedAppearance(SettingsFile(host->settings().path())), DesktopAppearance::light);
}

TEST_F(BridgeTest, AppearanceWithoutTheShellRefusesAndStoresNothing)
{
    expectError(call(message("appearance", { { "value", "dark" } })), "暂时无法切换颜色主题，请稍后重试。");
    EXPECT_EQ(host->savedAppearance(), DesktopAppearance::system);
}

// ---- Window inspection ----------------------------------------------------------------

TEST_F(BridgeTest, InspectOwnWindowGuardAndRecheck)
{
    std::atomic<std::uint64_t> asked { 0 };
    std::mutex busy;
    bridge->machine.inspectWindow = [&](std::uint64_t id) -> std::int64_t {
        std::lock_guard wait(busy);
        asked = id;
        return 42;
    };
    expectError(call(message("inspectOwnWindow")), "请先核对辅助功能授权并打开工作台窗口。"); // not trusted
    bridge->machine.accessibilityTrusted = [](auto done) { done(true); };
    view->window.reset();
    expectError(call(message("inspectOwnWindow")), "请先核对辅助功能授权并打开工作台窗口。"); // no window
    view->window = 77;
    expectValue(call(message("inspectOwnWindow")), Json { { "elements", 42 } });
    EXPECT_EQ(asked.load(), 77u);

    // The main view replaced while the driver runs.
    busy.lock();
    auto outcome = post(message("inspectOwnWindow"));
    main.runUntilIdle(); // dispatched; the driver waits in the background
    auto replacement = std::make_shared<FakePageView>();
    host->setWorkspaceWeb(replacement);
    busy.unlock();
    expectError(wait(outcome), "工作区已关闭。");

    // The main view dismantled by the shell while the driver runs.
    host->setWorkspaceWeb(view);
    busy.lock();
    outcome = post(message("inspectOwnWindow"));
    main.runUntilIdle();
    view.reset();
    busy.unlock();
    expectError(wait(outcome), "工作区已关闭。");
}

TEST_F(BridgeTest, TheAccessibilityCheckWaitsWithoutHoldingTheWindow)
{
    std::vector<std::function<void(bool)>> pending;
    bridge->machine.accessibilityTrusted = [&](std::function<void(bool)> done) { pending.push_back(std::move(done)); };
    bridge->machine.inspectWindow = [](std::uint64_t) -> std::int64_t { return 3; };

    auto status = post(message("deviceStatus"));
    auto inspect = post(message("inspectOwnWindow"));
    main.runUntilIdle();
    ASSERT_EQ(pending.size(), 2u);
    // Other messages are answered meanwhile.
    expectValue(
        call(message("session")), Json { { "id", "account-1" }, { "label", "一号" }, { "destination", "home" } });
    EXPECT_EQ(status->calls, 0);
    pending[0](true);
    expectValue(wait(status), Json { { "accessibility", true }, { "screen", true } });
    pending[1](true);
    expectValue(wait(inspect), Json { { "elements", 3 } });

    // The view replaced while the bus is asked: nothing is inspected.
    pending.clear();
    inspect = post(message("inspectOwnWindow"));
    main.runUntilIdle();
    host->setWorkspaceWeb(std::make_shared<FakePageView>());
    pending[0](true);
    expectError(wait(inspect), "工作区已关闭。");

    // A check dropped without an answer counts as not trusted.
    host->setWorkspaceWeb(view);
    bridge->machine.accessibilityTrusted = [](std::function<void(bool)>) {};
    expectValue(call(message("deviceStatus")), Json { { "accessibility", false }, { "screen", true } });
    expectError(call(message("inspectOwnWindow")), "请先核对辅助功能授权并打开工作台窗口。");
}

// ---- Event files ---------------------------------------------------------------------

TEST_F(BridgeTest, EventFileGuardCancelAndRecord)
{
    expectError(call(message("eventFile", { { "owner", "account-2" } })), "请登录后选取活动来源。");
    expectError(call(message("eventFile")), "暂时无法选择活动来源文件，请稍后重试。");

    std::optional<std::filesystem::path> choice;
    bridge->machine.selectEventFile = [&](auto done) { done(choice); };
    expectValue(call(message("eventFile")), Json { { "cancelled", true } });

    choice = "/tmp/议程.pdf";
    bridge->machine.inspectEventFile = [](const std::filesystem::path& file) {
        return Json { { "name", file.filename().string() }, { "digest", "d" }, { "excerpt", "e" },
            { "method", "pdf" } };
    };
    expectValue(call(message("eventFile")),
        Json { { "name", "议程.pdf" }, { "digest", "d" }, { "excerpt", "e" }, { "method", "pdf" } });

    bridge->machine.inspectEventFile
        = [](const std::filesystem::path&) -> Json { throw DesktopError("文件无法读取。"); };
    expectError(call(message("eventFile")), "文件无法读取。");
}

TEST_F(BridgeTest, SignOutWhileTheEventChooserIsOpen)
{
    std::function<void(std::optional<std::filesystem::path>)> pending;
    bridge->machine.selectEventFile = [&](auto done) { pending = done; };
    bridge->machine.inspectEventFile = [](const std::filesystem::path&) { return Json::object(); };
    auto outcome = post(message("eventFile"));
    main.runUntilIdle();
    ASSERT_TRUE(pending);
    host->signOut();
    pending(std::filesystem::path("/tmp/a.txt"));
    pending = nullptr;
    expectError(wait(outcome), "采集账号已切换。");
}

TEST_F(BridgeTest, AChooserThatNeverAnswersStillGetsOneReply)
{
    bridge->machine.selectEventFile = [](auto done) { /* dropped without calling */ };
    expectError(call(message("eventFile")), "操作已中断，请重试。");
}

// ---- Local task workspace -------------------------------------------------------------

TEST_F(BridgeTest, WorkspaceOpsRunOnTheTaskQueueWithOwnerAndBody)
{
    expectError(call(message("workspaceOpen")), "任务工作区暂不可用，请稍后重试。");
    expectError(call(message("workspaceOpen", { { "owner", "account-2" } })), "请先登录对应的 Korvid 账号。");
    expectError(call(Json { { "op", "taskSave" } }), "请先登录对应的 Korvid 账号。");

    std::mutex mutex;
    std::vector<std::string> seen;
    auto mainThread = std::this_thread::get_id();
    everyWorkspaceOp() = [&](const std::string& op, const std::string& owner, const Json& payload,
                             const std::vector<std::filesystem::path>& files) -> Json {
        std::lock_guard lock(mutex);
        EXPECT_NE(std::this_thread::get_id(), mainThread);
        seen.push_back(op + "|" + owner + "|" + payload.value("title", "") + "|" + std::to_string(files.size()));
        if (op == "taskConfirm")
            throw DesktopError("任务尚未填写完整。");
        return Json { { "ok", op } };
    };
    for (const char* op : { "workspaceOpen", "projectCreate", "taskSave", "taskSource" })
        expectValue(call(message(op, { { "title", "t" } })), Json { { "ok", op } });
    expectError(call(message("taskConfirm")), "任务尚未填写完整。");
    EXPECT_EQ(seen.front(), "workspaceOpen|account-1||0"); // the listing needs only the owner
    EXPECT_EQ(seen[1], "projectCreate|account-1|t|0");
    EXPECT_EQ(seen.size(), 5u);
}

TEST_F(BridgeTest, SignOutWhileAQueueJobRunsRefusesItsResult)
{
    std::mutex gate;
    gate.lock();
    everyWorkspaceOp() = [&](auto&&...) {
        std::lock_guard wait(gate);
        return Json { { "projects", Json::array() } };
    };
    auto outcome = post(message("workspaceOpen"));
    main.runUntilIdle();
    host->signOut();
    host->didAuthenticate({ "token-2", "account-2", "二号" }); // someone else signed in meanwhile
    gate.unlock();
    expectError(wait(outcome), "账号已切换。");
}

TEST_F(BridgeTest, TaskAttachPassesTheChosenFiles)
{
    std::vector<std::filesystem::path> chosen;
    bridge->tasks.selectTaskFiles = [&](auto done) { done(chosen); };
    std::vector<std::filesystem::path> received;
    everyWorkspaceOp()
        = [&](const std::string&, const std::string&, const Json&, const std::vector<std::filesystem::path>& files) {
              received = files;
              return Json { { "attached", files.size() } };
          };
    expectValue(call(message("taskAttach")), Json { { "cancelled", true } });
    EXPECT_TRUE(received.empty());
    chosen = { "/tmp/a.pdf", "/tmp/b.docx" };
    expectValue(call(message("taskAttach")), Json { { "attached", 2 } });
    EXPECT_EQ(received, chosen);
}

// ---- Minutes files ---------------------------------------------------------------------

TEST_F(BridgeTest, MeetingFileCountsAndLimits)
{
    std::vector<std::filesystem::path> chosen;
    std::string text;
    bridge->tasks.selectTaskFiles = [&](auto done) { done(chosen); };
    bridge->tasks.readMeetingFile = [&](const std::filesystem::path&) { return text; };
    expectError(call(message("meetingFile", { { "owner", 1 } })), "请先登录。");
    expectValue(call(message("meetingFile")), Json { { "cancelled", true } });
    chosen = { "/tmp/a.txt", "/tmp/b.txt" };
    expectError(call(message("meetingFile")), "一次归档一份纪要，请只选一个文件。");

    chosen = { "/tmp/周会.纪要.md" };
    text = std::string(7998, 'a') + "😀"; // 8000 UTF-16 units
    expectValue(call(message("meetingFile")), Json { { "text", text }, { "name", "周会.纪要" } });
    text += "b";
    expectError(call(message("meetingFile")), "单份纪要限 8000 字符，请选择会议摘录。");
}

// ---- Remote briefs ------------------------------------------------------------------

TEST_F(BridgeTest, TaskStatesChecksIdsAndSendsThemAsGiven)
{
    service.answer("/v1/desktop/briefs/states", 200, R"({"states":{}})");
    Json hundred = Json::array();
    for (int i = 0; i < 100; ++i)
        hundred.push_back(kTask);
    expectValue(call(message("taskStates", { { "ids", hundred } })), Json { { "states", Json::object() } });
    EXPECT_EQ(service.received().back().body, (Json { { "ids", hundred } }.dump()));

    Json more = hundred;
    more.push_back(kTask);
    expectError(call(message("taskStates", { { "ids", more } })), "任务标识失效。");
    expectError(call(message("taskStates", { { "ids", Json::array({ kTask, "nope" }) } })), "任务标识失效。");
    expectError(call(message("taskStates", { { "ids", Json::array({ 1 }) } })), "任务标识失效。");
    expectError(call(message("taskStates", { { "ids", "x" } })), "任务标识失效。");
    expectError(call(message("taskStates", { { "owner", "account-2" }, { "ids", Json::array() } })),
        "请先登录对应的 Korvid 账号。");
    EXPECT_EQ(service.count(), 1u);

    expectValue(call(message("taskStates", { { "ids", Json::array() } })), Json { { "states", Json::object() } });
    EXPECT_EQ(service.received().back().body, R"({"ids":[]})");
}

TEST_F(BridgeTest, TaskStatusAsksForTheLowerCasePath)
{
    service.answer(std::string("/v1/desktop/briefs/") + kTaskLower, 200, R"({"state":"running"})");
    expectValue(call(message("taskStatus", { { "id", kTask } })), Json { { "state", "running" } });
    EXPECT_EQ(service.received().back().method, "GET");
    expectError(call(message("taskStatus", { { "id", 12 } })), "任务标识失效。");
}

TEST_F(BridgeTest, TaskStartOfAStartedBriefStartsNothing)
{
    service.answer(std::string("/v1/desktop/briefs/") + kTaskLower, 200, R"({"state":"running","step":2})");
    int scopes = 0;
    everyWorkspaceOp() = [&](auto&&...) {
        ++scopes;
        return Json::object();
    };
    expectValue(call(message("taskStart", { { "id", kTask } })), Json { { "state", "running" }, { "step", 2 } });
    EXPECT_EQ(scopes, 0);
    EXPECT_EQ(service.count(), 1u);
}

TEST_F(BridgeTest, TaskStartWithoutAScopeRepliesTheScopeError)
{
    service.answer(std::string("/v1/desktop/briefs/") + kTaskLower, 200, R"({"state":"unstarted"})");
    everyWorkspaceOp() = [](auto&&...) -> Json { throw DesktopError("任务尚未确认。"); };
    expectValue(call(message("taskStart", { { "id", kTask } })),
        Json { { "state", "unstarted" }, { "scopeError", "任务尚未确认。" } });
    everyWorkspaceOp() = [](auto&&...) { return Json::array(); };
    expectValue(call(message("taskStart", { { "id", kTask } })),
        Json { { "state", "unstarted" }, { "scopeError", "执行范围读取失败。" } });
    EXPECT_EQ(service.count(), 2u); // two status reads, no start
}

TEST_F(BridgeTest, TaskStartPostsTheScopeWithTheTurn)
{
    std::string path = std::string("/v1/desktop/briefs/") + kTaskLower;
    service.answer("GET " + path, 200, R"({"state":"unstarted"})");
    service.answer("POST " + path, 200, R"({"state":"queued"})");
    std::string seenOp;
    everyWorkspaceOp() = [&](const std::string& op, const std::string&, const Json& payload, auto&&) {
        seenOp = op;
        EXPECT_EQ(payload.value("budgetMicros", 0), 5);
        return Json { { "scope", "text" } };
    };
    expectValue(call(message("taskStart", { { "id", kTask }, { "budgetMicros", 5 } })), Json { { "state", "queued" } });
    EXPECT_EQ(seenOp, "taskStart");
    auto received = service.received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[1].method, "POST");
    EXPECT_EQ(received[1].path, path);
    EXPECT_EQ(received[1].header("X-Turn"), kTaskLower);
    EXPECT_EQ(received[1].body, R"({"scope":"text"})");
}

TEST_F(BridgeTest, SignOutDuringTheBriefRequestRefusesTheAnswer)
{
    service.answer(std::string("/v1/desktop/briefs/") + kTaskLower, 200, R"({"state":"unstarted"})");
    service.hold();
    auto outcome = post(message("taskStart", { { "id", kTask } }));
    ASSERT_TRUE(pumpUntil([&] { return service.count() == 1; }));
    host->signOut();
    service.release();
    expectError(wait(outcome), "账号已切换。");
    EXPECT_EQ(service.count(), 1u);
}

TEST_F(BridgeTest, TaskReviewChecksItsKeys)
{
    std::string path = std::string("/v1/desktop/briefs/") + kTaskLower + "/review";
    service.answer(path, 200, R"({"state":"done"})");
    Json review { { "id", kTask }, { "decision", { { "a", "keep" } } }, { "version", 3 }, { "finalize", true } };
    expectValue(call(message("taskReview", review)), Json { { "state", "done" } });
    EXPECT_EQ(service.received().back().body, R"({"decision":{"a":"keep"},"version":3,"finalize":true})");

    for (auto [key, bad] : std::vector<std::pair<std::string, Json>> { { "version", "3" }, { "version", 3.0 },
             { "finalize", 1 }, { "decision", { { "a", 1 } } }, { "decision", "x" } }) {
        Json broken = review;
        broken[key] = bad;
        expectError(call(message("taskReview", broken)), "请重新打开审阅。");
    }
    Json missing = review;
    missing.erase("finalize");
    expectError(call(message("taskReview", missing)), "请重新打开审阅。");
    Json badID = review;
    badID["id"] = "x";
    expectError(call(message("taskReview", badID)), "任务标识失效。");
    EXPECT_EQ(service.count(), 1u);
}

// ---- Sales -----------------------------------------------------------------------

TEST_F(BridgeTest, SalesMapsTheActionAndSendsTheTurnOnlyForAgentTurns)
{
    const char* turn = "AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE";
    service.answer(std::string("/v1/desktop/agent/") + kTaskLower, 200, R"({"reply":"ok"})");
    expectError(call(message("sales", { { "action", "agentTurn" }, { "id", kTask }, { "body", Json::object() } })),
        "请重新核对本轮执行标识。");
    expectError(call(message("sales",
                    { { "action", "agentTurn" }, { "id", kTask }, { "body", Json::object() }, { "turn", "x" } })),
        "请重新核对本轮执行标识。");
    EXPECT_EQ(service.count(), 0u);

    expectValue(call(message("sales",
                    { { "action", "agentTurn" }, { "id", kTask }, { "body", { { "q", 1 } } }, { "turn", turn } })),
        Json { { "reply", "ok" } });
    auto request = service.received().back();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.header("X-Turn"), "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee");
    EXPECT_EQ(request.body, R"({"q":1})");

    expectValue(call(message("sales", { { "action", "agentStatus" }, { "id", kTask }, { "turn", turn } })),
        Json { { "reply", "ok" } });
    EXPECT_FALSE(service.received().back().hasHeader("X-Turn"));
}

TEST_F(BridgeTest, SalesRefusalsSendNothing)
{
    expectError(call(message("sales", { { "owner", "account-2" }, { "action", "rules" } })), "请先登录当前账号。");
    expectError(call(message("sales", { { "action", "Minutes" } })), "不支持此销售操作。");
    expectError(call(message("sales", { { "action", "followup" }, { "id", "x" } })), "无效的记录标识。");
    expectError(call(message("sales", { { "action", "library" }, { "since", "2024-05-01T08:30:00Z" } })),
        "关系库同步时间无效。");
    EXPECT_EQ(service.count(), 0u);
}

TEST_F(BridgeTest, SalesAnswerAfterAnAccountSwitchIsRefused)
{
    service.answer("/v1/desktop/sales/rules", 200, R"({"rules":[]})");
    service.hold();
    auto outcome = post(message("sales", { { "action", "rules" } }));
    ASSERT_TRUE(pumpUntil([&] { return service.count() == 1; }));
    host->signOut();
    host->didAuthenticate({ "token-1", "account-2", "二号" });
    service.release();
    expectError(wait(outcome), "账号已切换。");
}

TEST_F(BridgeTest, A401DuringAnOperationSignsOutAndRepliesItsText)
{
    service.answer("/v1/desktop/sales/rules", 401, "{}");
    expectError(call(message("sales", { { "action", "rules" } })), "会话已失效，请重新登录。");
    EXPECT_EQ(host->screen(), Screen::authentication);
}

// ---- Bad input ----------------------------------------------------------------------

TEST_F(BridgeTest, WrongShapesNeverCrashOrSend)
{
    std::string huge(4 << 20, 'x');
    std::vector<Json> bodies = {
        message("sales", { { "action", huge } }),
        message("sales", { { "action", nullptr } }),
        message("taskStatus", { { "id", huge } }),
        message("taskStates", { { "ids", Json::array({ Json::object() }) } }),
        message("webWorkspace", { { "route", Json::array() } }),
        message("appearance", { { "value", huge } }),
        Json { { "op", "sales" }, { "owner", Json::object() } },
    };
    for (auto& body : bodies)
        EXPECT_TRUE(call(body).error.has_value());
    EXPECT_EQ(service.count(), 0u);
}

// ---- Navigation and session lifecycle ------------------------------------------------

TEST_F(BridgeTest, NavigationAllowsOnlyThePage)
{
    EXPECT_TRUE(host->decideNavigation(kPageURL));
    EXPECT_FALSE(host->decideNavigation(std::string(kPageURL) + "?x"));
    EXPECT_FALSE(host->decideNavigation("https://app.korvid.cn/"));
    EXPECT_FALSE(host->decideNavigation("file:///opt/korvid/resources/desktop.html"));
}

TEST_F(BridgeTest, AFreshHostWaitsForSignIn)
{
    DesktopHostOptions options;
    options.settingsPath = settingsFolder / "fresh.json";
    DesktopHost fresh(main, options);
    EXPECT_EQ(fresh.screen(), Screen::authentication);
    EXPECT_FALSE(fresh.session());
    EXPECT_FALSE(fresh.sessionToken());
    EXPECT_FALSE(fresh.accountID());
    EXPECT_FALSE(fresh.webWorkspace());
    EXPECT_TRUE(fresh.desktopPageURL().starts_with("file:///"));
    EXPECT_TRUE(fresh.desktopPageURL().ends_with("/resources/Desktop.html"));
}

TEST_F(BridgeTest, SecondAuthenticationKeepsTheFirstSessionAndItsStore)
{
    host->didAuthenticate({ "token-2", "account-2", "二号" });
    EXPECT_EQ(host->accountID(), "account-1");

    auto first = std::make_shared<WebsiteDataStore>();
    host->signOut();
    host->didVerify({ "token-1", "account-1", "一号" }, first);
    host->didVerify({ "token-2", "account-2", "二号" }, std::make_shared<WebsiteDataStore>());
    EXPECT_EQ(host->accountID(), "account-1");
    EXPECT_EQ(host->verifiedStore(), first);
}

TEST_F(BridgeTest, ScreenObserversHearSignInAndOut)
{
    std::vector<Screen> seen;
    auto token = host->screenObservers().subscribe([&] { seen.push_back(host->screen()); });
    host->signOut();
    host->didAuthenticate({ "t", "a", "l" });
    host->screenObservers().unsubscribe(token);
    host->signOut();
    EXPECT_EQ(seen, (std::vector { Screen::authentication, Screen::workspace }));
}

}
}
