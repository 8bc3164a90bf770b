// The bridge as a registry: what a feature gets by adding one row — the gate,
// its guard, the re-check on every suspension, one reply — and what the
// product's features register together.
#include "host/tests/HostFixture.h"

#include <algorithm>
#include <set>
#include <stdexcept>

namespace korvid::testing {
namespace {

class BridgeRegistryTest : public HostTest {
protected:
    // A bridge of its own with one row, beside the product's.
    std::shared_ptr<Outcome> postTo(Bridge& target, Json body)
    {
        auto outcome = std::make_shared<Outcome>();
        BridgeMessage message;
        message.webView = view;
        message.isMainFrame = true;
        message.frameURL = kPageURL;
        message.body = std::move(body);
        message.reply = [outcome](std::optional<Json> value, std::optional<std::string> error) {
            ++outcome->calls;
            outcome->value = std::move(value);
            outcome->error = std::move(error);
        };
        target.receive(std::move(message));
        return outcome;
    }

    void switchAccount()
    {
        host->signOut();
        host->didAuthenticate({ "token-2", "account-2", "二号" });
        host->setWorkspaceWeb(view);
    }
};

TEST_F(BridgeRegistryTest, TheFeaturesRegisterEveryOperationOnce)
{
    auto names = bridge->operationNames();
    std::set<std::string> unique(names.begin(), names.end());
    EXPECT_EQ(unique.size(), names.size());
    EXPECT_EQ(unique,
        (std::set<std::string> { "permissions", "deviceStatus", "appearance", "inspectOwnWindow", "eventFile",
            "webCompany", "webWechatReview", "webWorkspace", "session", "logout", "workspaceOpen", "projectCreate",
            "taskSave", "taskConfirm", "taskSource", "taskAttach", "taskStates", "taskStatus", "taskStart",
            "taskReview", "meetingFile", "sales" }));
}

TEST_F(BridgeRegistryTest, AnOperationAddedTwiceIsRefused)
{
    Bridge extra(*host);
    auto handler = [](std::shared_ptr<BridgeCall>) -> Task<Json> { co_return Json(true); };
    extra.add({ "probe", Guard::none, nullptr, Recheck::none, nullptr, handler });
    EXPECT_THROW(extra.add({ "probe", Guard::none, nullptr, Recheck::none, nullptr, handler }), std::logic_error);
    EXPECT_EQ(extra.operationNames(), std::vector<std::string> { "probe" });
}

// One row and one function: the row's guard before the work, its re-check
// after every checked suspension, the work's own failure passed on as it is.
TEST_F(BridgeRegistryTest, ANewRowGetsItsGuardAndItsRecheck)
{
    Bridge extra(*host);
    int suspensions = 0;
    bool fail = false;
    bool hold = false;
    std::function<void(bool)> pending;
    extra.add({ "probe", Guard::signedInOwner, "请先登录。", Recheck::accountAndToken, "账号已切换。",
        [&](std::shared_ptr<BridgeCall> call) -> Task<Json> {
            co_await call->checked(fromCallback<bool>(extra.resume(), [&](std::function<void(bool)> done) {
                if (hold)
                    pending = std::move(done);
                else
                    done(true);
            }));
            ++suspensions;
            Json value = co_await call->checked(runOn(host->background(), extra.resume(), [&fail] {
                if (fail)
                    throw DesktopError("读取失败。");
                return Json { { "owner", "account-1" } };
            }));
            co_return value;
        } });

    expectError(wait(postTo(extra, Json { { "op", "probe" }, { "owner", "account-2" } })), "请先登录。");
    EXPECT_EQ(suspensions, 0);

    expectValue(
        wait(postTo(extra, Json { { "op", "probe" }, { "owner", "account-1" } })), Json { { "owner", "account-1" } });

    // Switched while the first suspension waits: the handler goes no further.
    hold = true;
    suspensions = 0;
    auto outcome = postTo(extra, Json { { "op", "probe" }, { "owner", "account-1" } });
    main.runUntilIdle();
    ASSERT_TRUE(pending);
    EXPECT_EQ(outcome->calls, 0);
    switchAccount();
    std::exchange(pending, nullptr)(true);
    expectError(wait(outcome), "账号已切换。");
    EXPECT_EQ(suspensions, 0);
    hold = false;

    // The work's own failure is its own sentence, whoever is signed in.
    fail = true;
    host->signOut();
    host->didAuthenticate({ "token-1", "account-1", "一号" });
    host->setWorkspaceWeb(view);
    expectError(wait(postTo(extra, Json { { "op", "probe" }, { "owner", "account-1" } })), "读取失败。");
}

}
}
