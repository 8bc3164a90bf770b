#include "host/WebWorkspaceOps.h"

#include "host/DesktopHost.h"
#include "base/DesktopError.h"
#include "base/Uuid.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace korvid {

namespace {

constexpr const char* kAccountSwitched = "账号已切换。";

constexpr std::array<std::string_view, 16> kWorkspaceRoutes { "want", "tasks", "home", "library", "partners", "events",
    "skills", "notices", "feedback", "guide", "me", "settings", "library/ai", "library/import", "library/corrections",
    "library/ai/import-history" };

}

WebWorkspaceOps::WebWorkspaceOps(Bridge& bridge)
    : bridge_(bridge)
{
    using W = WebWorkspaceOps;
    // op, guard, its message, re-check, its message, handler
    bridge.add({ "webCompany", Guard::none, nullptr, Recheck::accountAndToken, kAccountSwitched,
        memberHandler(this, &W::company) });
    bridge.add({ "webWechatReview", Guard::none, nullptr, Recheck::accountAndToken, kAccountSwitched,
        memberHandler(this, &W::wechatReview) });
    bridge.add({ "webWorkspace", Guard::none, nullptr, Recheck::accountAndToken, kAccountSwitched,
        memberHandler(this, &W::route) });
}

Task<Json> WebWorkspaceOps::company(std::shared_ptr<BridgeCall> call)
{
    auto id = stringAt(call->body, "id");
    if (!id || id->empty() || stringAt(call->body, "owner") != call->session.id || !bridge_.host().verifiedStore())
        throw DesktopError("请重新登录后打开企业详情。");
    WebWorkspaceArguments arguments;
    arguments.companyID = *id;
    co_return co_await open(std::move(call), std::move(arguments));
}

Task<Json> WebWorkspaceOps::wechatReview(std::shared_ptr<BridgeCall> call)
{
    auto id = stringAt(call->body, "id");
    auto batch = stringAt(call->body, "batch");
    if (!id || !Uuid::parse(*id) || !batch || !Uuid::parse(*batch) || stringAt(call->body, "owner") != call->session.id
        || !bridge_.host().verifiedStore())
        throw DesktopError("请重新打开当前账号的差异预览。");
    WebWorkspaceArguments arguments;
    arguments.snapshotID = *id;
    arguments.batchID = *batch;
    co_return co_await open(std::move(call), std::move(arguments));
}

Task<Json> WebWorkspaceOps::route(std::shared_ptr<BridgeCall> call)
{
    auto route = stringAt(call->body, "route");
    bool listed
        = route && std::find(kWorkspaceRoutes.begin(), kWorkspaceRoutes.end(), *route) != kWorkspaceRoutes.end();
    if (!listed || !bridge_.host().verifiedStore())
        throw DesktopError("请重新登录后打开网页功能。");
    WebWorkspaceArguments arguments;
    arguments.route = *route;
    co_return co_await open(std::move(call), std::move(arguments));
}

Task<std::string> WebWorkspaceOps::awaitLoginOrigin()
{
    co_await resumeOn(bridge_.resume());
    co_return bridge_.host().loginOrigin();
}

Task<Json> WebWorkspaceOps::open(std::shared_ptr<BridgeCall> call, WebWorkspaceArguments arguments)
{
    DesktopHost& host = bridge_.host();
    arguments.origin = co_await call->checked(awaitLoginOrigin());
    if (!makeWebWorkspace)
        throw DesktopError("网页工作区暂不可用，请稍后重试。");
    arguments.store = host.verifiedStore();

    // Every exit acts only for the account that opened the workspace: an old
    // workspace's late exit must not close, navigate or sign out another
    // account's desk.
    std::weak_ptr<DesktopHost*> weakHost = host.weakHandle();
    arguments.onLogout = [weakHost, account = call->session.id] {
        auto host = weakHost.lock();
        if (host && (*host)->accountID() == account)
            (*host)->signOut();
    };
    if (arguments.companyID) {
        arguments.companyExit = [weakHost, account = call->session.id, id = *arguments.companyID](bool reopenMinutes) {
            auto host = weakHost.lock();
            if (!host || (*host)->accountID() != account)
                return;
            DesktopHost& self = **host;
            if (!reopenMinutes) {
                self.closeWebWorkspace();
                return;
            }
            self.stopWebWorkspace();
            if (auto view = self.workspaceWeb())
                view->callAsyncFunction(
                    "salesDesk.invalidate(); navigate('customer/'+encodeURIComponent(id)+'/minutes')",
                    Json { { "id", id } });
        };
    }
    if (arguments.snapshotID) {
        arguments.reviewExit = [weakHost, account = call->session.id](const std::string& route) {
            auto host = weakHost.lock();
            if (!host)
                return;
            DesktopHost& self = **host;
            if (self.accountID() != account)
                return;
            self.stopWebWorkspace();
            if (auto view = self.workspaceWeb())
                view->callAsyncFunction("salesDesk.invalidate(); navigate(route)", Json { { "route", route } });
        };
    }

    if (auto shown = host.webWorkspace())
        shown->stop();
    std::shared_ptr<WebWorkspace> created;
    try {
        created = makeWebWorkspace(std::move(arguments));
    } catch (...) {
        host.setWebWorkspace(nullptr); // stopped above; never leave a stopped one shown
        throw;
    }
    if (!created) {
        host.setWebWorkspace(nullptr);
        throw DesktopError("网页工作区未能打开，请稍后重试。");
    }
    host.setWebWorkspace(std::move(created));
    co_return Json { { "ok", true } };
}

}
