#pragma once

#include "host/Bridge.h"
#include "host/WebWorkspace.h"

#include <functional>
#include <memory>

namespace korvid {

// The page's operations that open a service page over the main surface: a
// company's detail, a WeChat snapshot's review and the listed web routes.
class WebWorkspaceOps {
public:
    explicit WebWorkspaceOps(Bridge& bridge);

    // Builds a web workspace (the web workspace subsystem); main thread.
    // Unset: the page is told web workspaces are unavailable.
    std::function<std::shared_ptr<WebWorkspace>(WebWorkspaceArguments)> makeWebWorkspace;

private:
    Task<Json> company(std::shared_ptr<BridgeCall> call);
    Task<Json> wechatReview(std::shared_ptr<BridgeCall> call);
    Task<Json> route(std::shared_ptr<BridgeCall> call);
    Task<Json> open(std::shared_ptr<BridgeCall> call, WebWorkspaceArguments arguments);
    Task<std::string> awaitLoginOrigin();

    Bridge& bridge_;
};

}
