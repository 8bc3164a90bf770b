#pragma once

#include "host/BridgeMessage.h"
#include "platform/GObjectRef.h"

#include <webkit/webkit.h>

#include <functional>
#include <memory>

namespace korvid {

// The page bridge of one web view. The view must be made in `webContext()`,
// whose web processes load the bridge's web-process extension: in every frame
// it gives page scripts `korvidDesktop.post(body)`, a promise of the reply
// value (rejected with an Error whose message is the error text), and sends
// each call to the view with whether its frame is the top frame and the
// frame's URL, read from WebKit's frame in the web process, which page
// scripts cannot forge. The view itself is the one whose signal delivered the
// message. Only views of that context ever see `korvidDesktop`; pages in
// other views (sign-in, web workspaces) never load the extension.
//
// Destroying the channel disconnects it from the view; messages that arrive
// later are left to WebKit, which rejects them.
class BridgeChannel {
public:
    static constexpr const char* kMessageName = "desktop";

    // The one web context for views that carry the bridge, made on first use
    // and kept for the life of the process. Its cache model follows the
    // default context's.
    static WebKitWebContext* webContext();

    BridgeChannel(WebKitWebView* view, std::weak_ptr<PageView> page, std::function<void(BridgeMessage)> receive);
    ~BridgeChannel();
    BridgeChannel(const BridgeChannel&) = delete;
    BridgeChannel& operator=(const BridgeChannel&) = delete;

private:
    static gboolean messageReceived(WebKitWebView*, WebKitUserMessage*, gpointer self);

    GObjectRef<WebKitWebView> view_;
    std::weak_ptr<PageView> page_;
    std::function<void(BridgeMessage)> receive_;
    gulong handlerID_ = 0;
};

}
