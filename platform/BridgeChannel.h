#pragma once

#include "host/BridgeMessage.h"
#include "platform/GObjectRef.h"

#include <webkit/webkit.h>

#include <functional>
#include <memory>

namespace korvid {

// The page bridge of one web view. The handler "desktop" lives in an isolated
// script world that page scripts cannot reach; a relay in that world, in
// every frame, forwards the page's requests together with whether its frame
// is the top frame and the frame's own URL, which page scripts cannot forge.
// Pages post with `korvidDesktop.post(body)`, which returns a promise of the
// reply value (rejected with an Error whose message is the error text).
//
// Installing registers the handler and the two scripts on `manager`;
// destroying the channel unregisters the handler and removes the scripts.
class BridgeChannel {
public:
    static constexpr const char* kHandlerName = "desktop";
    static constexpr const char* kWorldName = "korvid-bridge";

    BridgeChannel(
        WebKitUserContentManager* manager, std::weak_ptr<PageView> view, std::function<void(BridgeMessage)> receive);
    ~BridgeChannel();
    BridgeChannel(const BridgeChannel&) = delete;
    BridgeChannel& operator=(const BridgeChannel&) = delete;

private:
    static gboolean messageReceived(
        WebKitUserContentManager*, JSCValue* value, WebKitScriptMessageReply* reply, gpointer self);

    GObjectRef<WebKitUserContentManager> manager_;
    struct ScriptRelease {
        void operator()(WebKitUserScript* script) const { webkit_user_script_unref(script); }
    };
    std::unique_ptr<WebKitUserScript, ScriptRelease> relay_;
    std::unique_ptr<WebKitUserScript, ScriptRelease> helper_;
    std::weak_ptr<PageView> view_;
    std::function<void(BridgeMessage)> receive_;
    gulong handlerID_ = 0;
};

}
