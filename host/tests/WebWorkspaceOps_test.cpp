#include "host/tests/HostFixture.h"

namespace korvid::testing {
namespace {

const char* kSnapshot = "0B0C8A6E-4D5F-4C4B-9A59-4F1F0C8E7D21";
const char* kBatch = "11111111-2222-4333-8444-555555555555";

// Stands in for the web workspace subsystem's type.
class RecordingWorkspace final : public WebWorkspace {
public:
    explicit RecordingWorkspace(WebWorkspaceArguments arguments)
        : arguments(std::move(arguments))
    {
    }
    void stop() override { ++stops; }
    WebWorkspaceArguments arguments;
    int stops = 0;
};

class WebWorkspaceOpsTest : public HostTest {
protected:
    WebWorkspaceOpsTest()
    {
        host->signOut();
        host->didVerify({ "token-1", "account-1", "一号" }, store);
        host->setWorkspaceWeb(view);
        bridge->webWorkspaces.makeWebWorkspace = [this](WebWorkspaceArguments arguments) {
            auto made = std::make_shared<RecordingWorkspace>(std::move(arguments));
            made_.push_back(made);
            return made;
        };
    }

    Json message(const char* op, Json extra)
    {
        Json body { { "op", op }, { "owner", "account-1" } };
        for (auto& [key, value] : extra.items())
            body[key] = value;
        return body;
    }

    RecordingWorkspace* open() { return static_cast<RecordingWorkspace*>(host->webWorkspace().get()); }

    std::shared_ptr<WebsiteDataStore> store = std::make_shared<WebsiteDataStore>();
    std::vector<std::shared_ptr<RecordingWorkspace>> made_;
};

TEST_F(WebWorkspaceOpsTest, CompanyOpensWithItsArguments)
{
    expectValue(call(message("webCompany", { { "id", "公司-1" } })), Json { { "ok", true } });
    ASSERT_TRUE(open());
    const auto& arguments = open()->arguments;
    EXPECT_EQ(arguments.origin, service.origin());
    EXPECT_EQ(arguments.route, "");
    EXPECT_EQ(arguments.store, store);
    EXPECT_EQ(arguments.companyID, "公司-1");
    EXPECT_FALSE(arguments.snapshotID);
    EXPECT_TRUE(arguments.companyExit);
    EXPECT_FALSE(arguments.reviewExit);
    EXPECT_TRUE(arguments.onLogout);
}

TEST_F(WebWorkspaceOpsTest, Guards)
{
    expectError(call(message("webCompany", { { "id", "" } })), "请重新登录后打开企业详情。");
    expectError(call(message("webCompany", { { "id", "c" }, { "owner", "account-2" } })), "请重新登录后打开企业详情。");
    expectError(call(message("webWechatReview", { { "id", kSnapshot }, { "batch", "batch-1" } })),
        "请重新打开当前账号的差异预览。");
    expectError(
        call(message("webWorkspace", { { "route", "library/ai/import-history/" } })), "请重新登录后打开网页功能。");
    expectError(call(message("webWorkspace", { { "route", "Library" } })), "请重新登录后打开网页功能。");
    EXPECT_TRUE(made_.empty());

    // Signed in without a sign-in browser's store: nothing to browse with.
    host->signOut();
    host->didAuthenticate({ "token-1", "account-1", "一号" });
    host->setWorkspaceWeb(view);
    expectError(call(message("webWorkspace", { { "route", "home" } })), "请重新登录后打开网页功能。");
}

TEST_F(WebWorkspaceOpsTest, AGuardFailureLeavesTheOpenWorkspace)
{
    expectValue(call(message("webWorkspace", { { "route", "library/ai/import-history" } })), Json { { "ok", true } });
    auto* shown = open();
    expectError(
        call(message("webWechatReview", { { "id", kSnapshot }, { "batch", "x" } })), "请重新打开当前账号的差异预览。");
    EXPECT_EQ(open(), shown);
    EXPECT_EQ(shown->stops, 0);
}

TEST_F(WebWorkspaceOpsTest, OpeningReplacesTheOpenOneAfterStoppingIt)
{
    expectValue(call(message("webWorkspace", { { "route", "tasks" } })), Json { { "ok", true } });
    auto first = made_.back();
    expectValue(call(message("webCompany", { { "id", "c1" } })), Json { { "ok", true } });
    EXPECT_EQ(first->stops, 1);
    EXPECT_NE(open(), first.get());
    EXPECT_EQ(open()->arguments.companyID, "c1");
}

TEST_F(WebWorkspaceOpsTest, WithoutTheFactoryTheOpRefusesAndKeepsTheOpenOne)
{
    expectValue(call(message("webWorkspace", { { "route", "me" } })), Json { { "ok", true } });
    bridge->webWorkspaces.makeWebWorkspace = nullptr;
    expectError(call(message("webWorkspace", { { "route", "home" } })), "网页工作区暂不可用，请稍后重试。");
    EXPECT_EQ(made_.back()->stops, 0);
    EXPECT_EQ(open(), made_.back().get());
}

TEST_F(WebWorkspaceOpsTest, AccountSwitchDuringTheOriginLookup)
{
    expectValue(call(message("webWorkspace", { { "route", "me" } })), Json { { "ok", true } });
    auto shown = made_.back();
    // The dispatch suspends on the origin lookup before the entry returns;
    // the switch made right after lands in between.
    auto outcome = post(message("webCompany", { { "id", "c1" } }));
    host->signOut();
    host->didVerify({ "token-1", "account-2", "二号" }, store);
    host->setWorkspaceWeb(view);
    expectError(wait(outcome), "账号已切换。");
    EXPECT_EQ(made_.size(), 1u);

    // Same account, new token: also a switch. The open workspace stays.
    expectValue(call(Json { { "op", "webWorkspace" }, { "route", "me" } }), Json { { "ok", true } });
    shown = made_.back();
    outcome = post(Json { { "op", "webWorkspace" }, { "route", "home" } });
    host->signOut();
    host->didVerify({ "token-9", "account-2", "二号" }, store);
    host->setWorkspaceWeb(view);
    expectError(wait(outcome), "账号已切换。");
    EXPECT_EQ(made_.size(), 2u);
}

TEST_F(WebWorkspaceOpsTest, CompanyExitReopensMinutesOrClosesQuietly)
{
    expectValue(call(message("webCompany", { { "id", "c 1" } })), Json { { "ok", true } });
    auto exit = open()->arguments.companyExit;
    exit(true);
    EXPECT_FALSE(host->webWorkspace());
    EXPECT_EQ(made_.back()->stops, 1);
    ASSERT_EQ(view->calls.size(), 1u);
    EXPECT_EQ(view->calls[0].first, "salesDesk.invalidate(); navigate('customer/'+encodeURIComponent(id)+'/minutes')");
    EXPECT_EQ(view->calls[0].second, (Json { { "id", "c 1" } }));

    expectValue(call(message("webCompany", { { "id", "c2" } })), Json { { "ok", true } });
    open()->arguments.companyExit(false);
    EXPECT_FALSE(host->webWorkspace());
    ASSERT_EQ(view->scripts.size(), 1u);
    EXPECT_EQ(view->scripts[0], "salesDesk.invalidate(); if(salesDesk.isPage(destination))navigate(destination,false)");
}

TEST_F(WebWorkspaceOpsTest, CompanyExitAfterSignOutDoesNothing)
{
    expectValue(call(message("webCompany", { { "id", "c1" } })), Json { { "ok", true } });
    auto exit = open()->arguments.companyExit;
    host->signOut();
    exit(true);
    EXPECT_TRUE(view->calls.empty());
    EXPECT_FALSE(host->webWorkspace());
}

TEST_F(WebWorkspaceOpsTest, ReviewExitOnlyForTheSameAccount)
{
    expectValue(
        call(message("webWechatReview", { { "id", kSnapshot }, { "batch", kBatch } })), Json { { "ok", true } });
    EXPECT_EQ(open()->arguments.snapshotID, kSnapshot); // as sent, not lower-cased
    EXPECT_EQ(open()->arguments.batchID, kBatch);
    auto exit = open()->arguments.reviewExit;

    host->signOut();
    host->didVerify({ "token-2", "account-2", "二号" }, store);
    host->setWorkspaceWeb(view);
    expectValue(call(Json { { "op", "webWorkspace" }, { "route", "home" } }), Json { { "ok", true } });
    exit("library");
    EXPECT_TRUE(host->webWorkspace()); // another account: untouched
    EXPECT_TRUE(view->calls.empty());

    host->signOut();
    host->didVerify({ "token-1", "account-1", "一号" }, store);
    host->setWorkspaceWeb(view);
    expectValue(call(message("webWorkspace", { { "route", "home" } })), Json { { "ok", true } });
    exit("library");
    EXPECT_FALSE(host->webWorkspace());
    ASSERT_EQ(view->calls.size(), 1u);
    EXPECT_EQ(view->calls[0].first, "salesDesk.invalidate(); navigate(route)");
    EXPECT_EQ(view->calls[0].second, (Json { { "route", "library" } }));
}

TEST_F(WebWorkspaceOpsTest, LogoutExitSignsOutAndOutlivingTheHostIsHarmless)
{
    expectValue(call(message("webWorkspace", { { "route", "home" } })), Json { { "ok", true } });
    auto arguments = open()->arguments;
    arguments.onLogout();
    EXPECT_EQ(host->screen(), Screen::authentication);
    EXPECT_FALSE(host->webWorkspace());
    EXPECT_EQ(made_.back()->stops, 1);

    host.reset();
    main.runUntilIdle();
    arguments.onLogout();
    arguments.companyExit = nullptr;
}

TEST_F(WebWorkspaceOpsTest, EveryExitActsOnlyForTheAccountThatOpenedIt)
{
    expectValue(call(message("webCompany", { { "id", "c1" } })), Json { { "ok", true } });
    auto old = open()->arguments;

    host->signOut();
    host->didVerify({ "token-2", "account-2", "二号" }, store);
    host->setWorkspaceWeb(view);
    expectValue(call(Json { { "op", "webWorkspace" }, { "owner", "account-2" }, { "route", "home" } }),
        Json { { "ok", true } });
    old.companyExit(true);
    old.companyExit(false);
    old.onLogout();
    EXPECT_EQ(host->screen(), Screen::workspace);
    EXPECT_EQ(host->accountID(), "account-2");
    EXPECT_TRUE(host->webWorkspace());
    EXPECT_TRUE(view->calls.empty());
    EXPECT_TRUE(view->scripts.empty());
}

TEST_F(WebWorkspaceOpsTest, AnExitMayDropItsOwnWorkspaceSafely)
{
    // The exit runs inside the workspace; the host must not destroy it under
    // its feet.
    expectValue(call(message("webCompany", { { "id", "c1" } })), Json { { "ok", true } });
    std::weak_ptr<RecordingWorkspace> weak = made_.back();
    made_.clear();
    auto exit = open()->arguments.companyExit;
    exit(false);
    EXPECT_FALSE(weak.expired()); // still alive until the current call unwinds
    main.runUntilIdle();
    EXPECT_TRUE(weak.expired());
}

}
}
