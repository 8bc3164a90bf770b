#pragma once

#include "host/PageView.h"
#include "base/Json.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace korvid {

// The page's reply callback: exactly one of `value` and `error` is set, and
// the host calls it exactly once per message.
using BridgeReply = std::function<void(std::optional<Json> value, std::optional<std::string> error)>;

// One message the page posted to the handler "desktop", as the channel
// delivers it.
struct BridgeMessage {
    std::weak_ptr<PageView> webView; // the view that posted it
    bool isMainFrame = false;        // posted by the top frame of that view
    std::string frameURL;            // URL of the posting frame's document
    Json body;                       // as posted; the gate checks its shape
    BridgeReply reply;
};

}
