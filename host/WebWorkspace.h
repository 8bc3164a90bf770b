#pragma once

#include "host/WebsiteDataStore.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace korvid {

// What a new web workspace is built with. Exits that do not apply to the kind
// of workspace are empty.
struct WebWorkspaceArguments {
    std::string origin;
    std::string route; // empty for the company and review pages
    std::shared_ptr<WebsiteDataStore> store;
    std::optional<std::string> companyID;
    std::optional<std::string> snapshotID;
    std::optional<std::string> batchID;
    std::function<void(bool reopenMinutes)> companyExit;
    std::function<void(const std::string& route)> reviewExit;
    std::function<void()> onLogout;
};

// A service page shown over the main surface. The host only needs to stop it;
// the web workspace subsystem provides the real type through the bridge's
// `makeWebWorkspace` seam (WebWorkspaceOps).
class WebWorkspace {
public:
    virtual ~WebWorkspace() = default;
    virtual void stop() = 0;
};

}
