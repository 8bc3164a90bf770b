#include "host/SalesOps.h"

#include "host/DesktopHost.h"
#include "base/DesktopError.h"
#include "base/Uuid.h"
#include "sales/SalesEndpoint.h"

namespace korvid {

SalesOps::SalesOps(Bridge& bridge)
    : bridge_(bridge)
{
    // op, guard, its message, re-check, its message, handler
    bridge.add({ "sales", Guard::signedInOwner, "请先登录当前账号。", Recheck::accountAndToken, "账号已切换。",
        memberHandler(this, &SalesOps::sales) });
}

Task<Json> SalesOps::sales(std::shared_ptr<BridgeCall> call)
{
    SalesEndpoint endpoint(call->body);
    std::optional<std::string> turn;
    if (stringAt(call->body, "action") == "agentTurn") {
        auto given = stringAt(call->body, "turn");
        turn = given ? canonicalUuid(*given) : std::nullopt;
        if (!turn)
            throw DesktopError("请重新核对本轮执行标识。");
    }
    co_return co_await call->checked(bridge_.host().request(std::move(endpoint.path), call->session.token,
        std::move(endpoint.body), std::move(turn), std::move(endpoint.method), std::move(endpoint.query)));
}

}
