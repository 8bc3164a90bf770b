#include "host/SessionOps.h"

#include "host/DesktopHost.h"

namespace korvid {

SessionOps::SessionOps(Bridge& bridge)
    : bridge_(bridge)
{
    using S = SessionOps;
    // op, guard, its message, re-check, its message, handler
    bridge.add({ "session", Guard::none, nullptr, Recheck::none, nullptr, memberHandler(this, &S::session) });
    bridge.add({ "logout", Guard::none, nullptr, Recheck::none, nullptr, memberHandler(this, &S::logout) });
}

Task<Json> SessionOps::session(std::shared_ptr<BridgeCall> call)
{
    co_return Json { { "id", call->session.id }, { "label", call->session.label }, { "destination", "home" } };
}

Task<Json> SessionOps::logout(std::shared_ptr<BridgeCall>)
{
    bridge_.host().signOut();
    co_return true;
}

}
