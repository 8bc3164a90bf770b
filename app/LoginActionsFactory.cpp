#include "app/LoginActionsFactory.h"

namespace korvid {

LoginController makeLoginActions(DesktopHost& host, MainTimers& timers, std::filesystem::path resources)
{
    auto browser = WebKitLoginView::make();
    auto store = browser->store();
    DesktopHost* target = &host;
    auto actions = LoginActions::make(
        browser, [target](LoginActions::PrepareDone done) { done(target->loginOrigin(), {}); },
        [target](const std::string& token, LoginActions::VerifyDone done) {
            target->verify(token, [done](std::optional<DesktopLoginSession> session, std::optional<std::string> error) {
                done(std::move(session), error.value_or("无法确认目标账号。"));
            });
        },
        [target, store](const DesktopLoginSession& session) { target->didVerify(session, store); },
        { host.mainExecutor(), timers, std::move(resources) });
    browser->setDelegate(actions);
    return { actions, browser };
}

}
