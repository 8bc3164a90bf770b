// The bridge's safety property: whatever an operation learned while it was
// suspended (a chooser open, a file being read, a request in flight) reaches
// the page only if the session it started for is still the one signed in.
#include "host/tests/HostFixture.h"

namespace korvid::testing {
namespace {

const char* kTask = "0b0c8a6e-4d5f-4c4b-9a59-4f1f0c8e7d21";
const std::string kBriefPath = std::string("/v1/desktop/briefs/") + kTask;

Json message(const char* op, Json extra = Json::object())
{
    Json body { { "op", op }, { "owner", "account-1" } };
    for (auto& [key, value] : extra.items())
        body[key] = value;
    return body;
}

// What happens to the session while an operation waits.
enum class Change { signOut, otherAccount, newToken };
const Change kChanges[] = { Change::signOut, Change::otherAccount, Change::newToken };

const char* name(Change change)
{
    switch (change) {
    case Change::signOut:
        return "sign-out";
    case Change::otherAccount:
        return "another account";
    case Change::newToken:
        return "a new token for the same account";
    }
    return "";
}

// A gate a background job waits at until the test opens it.
class Gate {
public:
    void wait()
    {
        std::unique_lock lock(mutex_);
        ++waiting_;
        wake_.wait(lock, [this] { return open_; });
    }
    bool reached()
    {
        std::lock_guard lock(mutex_);
        return waiting_ > 0;
    }
    void open()
    {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        wake_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    int waiting_ = 0;
    bool open_ = false;
};

class RecheckTest : public HostTest {
protected:
    ~RecheckTest() override { gate->open(); }

    void apply(Change change)
    {
        host->signOut();
        if (change == Change::otherAccount)
            host->didAuthenticate({ "token-2", "account-2", "二号" });
        else if (change == Change::newToken)
            host->didAuthenticate({ "token-9", "account-1", "一号" });
        host->setWorkspaceWeb(view); // the main surface shows the page again
    }

    // A chooser that keeps its completion until the test answers.
    void holdChoosers()
    {
        bridge->tasks.selectTaskFiles = [this](auto done) { pendingFiles = done; };
        bridge->machine.selectEventFile = [this](auto done) { pendingFiles = done; };
    }
    void choose(std::vector<std::filesystem::path> files)
    {
        ASSERT_TRUE(pendingFiles);
        auto done = std::exchange(pendingFiles, nullptr);
        done(FileChoice(std::move(files)));
    }

    std::function<void(FileChoice)> pendingFiles;
    // Shared with the job that waits at it, so a job never outlives its gate.
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
};

// ---- After a chooser ------------------------------------------------------------------

TEST_F(RecheckTest, TaskAttachAfterTheChooserAttachesOnlyForTheSameAccount)
{
    for (Change change : kChanges) {
        SCOPED_TRACE(name(change));
        build({});
        holdChoosers();
        std::atomic<int> attached { 0 };
        everyWorkspaceOp() = [&](const std::string&, const std::string& owner, const Json&,
                                 const std::vector<std::filesystem::path>& files) {
            EXPECT_EQ(owner, "account-1");
            attached += static_cast<int>(files.size());
            return Json { { "attached", files.size() } };
        };
        auto outcome = post(message("taskAttach"));
        main.runUntilIdle();
        apply(change);
        choose({ "/tmp/a.pdf" });
        Outcome answered = wait(outcome);
        if (change == Change::newToken) {
            // The local workspace is the account's, whichever token it holds.
            expectValue(answered, Json { { "attached", 1 } });
            EXPECT_EQ(attached, 1);
        } else {
            expectError(answered, "账号已切换。");
            EXPECT_EQ(attached, 0);
        }
    }
}

TEST_F(RecheckTest, MeetingFileAfterTheChooserReadsNothing)
{
    for (Change change : kChanges) {
        SCOPED_TRACE(name(change));
        build({});
        holdChoosers();
        std::atomic<int> reads { 0 };
        bridge->tasks.readMeetingFile = [&](const std::filesystem::path&) {
            ++reads;
            return std::string("纪要");
        };
        auto outcome = post(message("meetingFile"));
        main.runUntilIdle();
        apply(change);
        choose({ "/tmp/周会.md" });
        expectError(wait(outcome), "账号已切换。");
        EXPECT_EQ(reads, 0);
    }
}

// ---- After a background read ------------------------------------------------------------

TEST_F(RecheckTest, MeetingFileIsReadOffTheMainThreadAndRecheckedAfter)
{
    auto mainThread = std::this_thread::get_id();
    for (Change change : kChanges) {
        SCOPED_TRACE(name(change));
        build({});
        gate = std::make_shared<Gate>();
        bridge->tasks.selectTaskFiles = [](auto done) { done(FileChoice(std::filesystem::path("/tmp/周会.md"))); };
        bridge->tasks.readMeetingFile = [&, held = gate](const std::filesystem::path&) {
            EXPECT_NE(std::this_thread::get_id(), mainThread);
            held->wait();
            return std::string("纪要正文");
        };
        auto outcome = post(message("meetingFile"));
        // The window keeps running while the file is read.
        ASSERT_TRUE(pumpUntil([&] { return gate->reached(); }));
        EXPECT_EQ(outcome->calls, 0);
        apply(change);
        gate->open();
        expectError(wait(outcome), "账号已切换。");
    }

    // Unchanged, the text arrives.
    build({});
    bridge->tasks.selectTaskFiles = [](auto done) { done(FileChoice(std::filesystem::path("/tmp/周会.md"))); };
    bridge->tasks.readMeetingFile = [&](const std::filesystem::path&) {
        EXPECT_NE(std::this_thread::get_id(), mainThread);
        return std::string("纪要正文");
    };
    expectValue(call(message("meetingFile")), Json { { "text", "纪要正文" }, { "name", "周会" } });
}

TEST_F(RecheckTest, EventFileAfterTheBackgroundRead)
{
    for (Change change : kChanges) {
        SCOPED_TRACE(name(change));
        build({});
        gate = std::make_shared<Gate>();
        bridge->machine.selectEventFile = [](auto done) { done(FileChoice(std::filesystem::path("/tmp/议程.pdf"))); };
        bridge->machine.inspectEventFile = [held = gate](const std::filesystem::path&) {
            held->wait();
            return Json { { "name", "议程.pdf" } };
        };
        auto outcome = post(message("eventFile"));
        ASSERT_TRUE(pumpUntil([&] { return gate->reached(); }));
        apply(change);
        gate->open();
        Outcome answered = wait(outcome);
        if (change == Change::newToken)
            expectValue(answered, Json { { "name", "议程.pdf" } }); // the record is the account's, not the token's
        else
            expectError(answered, "采集账号已切换。");
    }
}

// ---- taskStart -------------------------------------------------------------------------

TEST_F(RecheckTest, TaskStartAfterThePayloadPostsNothing)
{
    for (Change change : kChanges) {
        SCOPED_TRACE(name(change));
        build({});
        gate = std::make_shared<Gate>();
        service.answer("GET " + kBriefPath, 200, R"({"state":"unstarted"})");
        service.answer("POST " + kBriefPath, 200, R"({"state":"queued"})");
        auto before = service.count();
        everyWorkspaceOp() = [held = gate](auto&&...) {
            held->wait();
            return Json { { "scope", "text" } };
        };
        auto outcome = post(message("taskStart", { { "id", kTask } }));
        ASSERT_TRUE(pumpUntil([&] { return gate->reached(); }));
        apply(change);
        gate->open();
        expectError(wait(outcome), "账号已切换。");
        EXPECT_EQ(service.count(), before + 1); // the status read, no start
    }
}

TEST_F(RecheckTest, TaskStartAfterThePostRefusesTheAnswer)
{
    for (Change change : kChanges) {
        SCOPED_TRACE(name(change));
        build({});
        service.answer("GET " + kBriefPath, 200, R"({"state":"unstarted"})");
        service.answer("POST " + kBriefPath, 200, R"({"state":"queued"})");
        auto before = service.count();
        // Answers wait from the moment the scope is read, so the start is in flight.
        everyWorkspaceOp() = [&](auto&&...) {
            service.hold();
            return Json { { "scope", "text" } };
        };
        auto outcome = post(message("taskStart", { { "id", kTask } }));
        ASSERT_TRUE(pumpUntil([&] { return service.count() == before + 2; }));
        apply(change);
        service.release();
        expectError(wait(outcome), "账号已切换。");
        EXPECT_EQ(service.received().back().header("Authorization"), "Bearer token-1");
    }
}

// ---- The view --------------------------------------------------------------------------

TEST_F(RecheckTest, TheSenderIsJudgedWhenItsMessageArrives)
{
    // The operation starts as the message arrives, for the view that was
    // the main view then; a view put in its place afterwards is a matter
    // for the row's re-check, which for the sales desk is the account and
    // its token.
    service.answer("/v1/desktop/sales/rules", 200, R"({"rules":[]})");
    auto outcome = post(message("sales", { { "action", "rules" } }));
    auto other = std::make_shared<FakePageView>();
    host->setWorkspaceWeb(other);
    EXPECT_TRUE(wait(outcome).value.has_value()) << outcome->error.value_or("");
    EXPECT_EQ(service.count(), 1u);

    // The replaced view is refused at once, and the new one answered.
    auto refused = postFrom(message("session"), view, true, kPageURL);
    ASSERT_EQ(refused->calls, 1);
    EXPECT_EQ(refused->error, "无效请求");
    auto answered = postFrom(message("session"), other, true, kPageURL);
    ASSERT_EQ(answered->calls, 1);
    expectValue(*answered, Json { { "id", "account-1" }, { "label", "一号" }, { "destination", "home" } });
}

// ---- Service answers after a new token ----------------------------------------------------

TEST_F(RecheckTest, ServiceAnswersForAnOldTokenAreRefused)
{
    service.answer("/v1/desktop/sales/rules", 200, R"({"rules":[]})");
    service.answer("/v1/desktop/briefs/states", 200, R"({"states":{}})");
    service.answer(kBriefPath, 200, R"({"state":"running"})");
    service.answer(kBriefPath + "/review", 200, R"({"state":"done"})");
    const Json messages[] = {
        message("sales", { { "action", "rules" } }),
        message("taskStates", { { "ids", Json::array({ kTask }) } }),
        message("taskStatus", { { "id", kTask } }),
        message("taskStart", { { "id", kTask } }),
        message("taskReview",
            { { "id", kTask }, { "decision", { { "a", "keep" } } }, { "version", 1 }, { "finalize", false } }),
    };
    for (const Json& body : messages) {
        for (Change change : kChanges) {
            SCOPED_TRACE(body.dump() + " / " + name(change));
            build({});
            service.hold();
            auto before = service.count();
            auto outcome = post(body);
            ASSERT_TRUE(pumpUntil([&] { return service.count() == before + 1; }));
            apply(change);
            service.release();
            expectError(wait(outcome), "账号已切换。");
            EXPECT_EQ(service.received().back().header("Authorization"), "Bearer token-1");
        }
    }
}

}
}
