#pragma once

#include "host/DesktopBridge.h"
#include "host/DesktopHost.h"
#include "platform/BridgeChannel.h"
#include "platform/NetworkSessionStore.h"
#include "platform/WebKitPageView.h"

#include <gtk/gtk.h>

#include <memory>

namespace korvid {

// The main surface: one web view showing Desktop.html, its channel to the
// page bridge, and the navigation policy that keeps it on that page. Created
// when the workspace is shown and torn down with its widget.
class DesktopSurface {
public:
    // The view browses with `store` (the sign-in browser's network session,
    // which becomes the verified store), else with the host's verified store,
    // else with WebKit's default session.
    static GtkWidget* make(
        DesktopHost& host, DesktopBridge& bridge, std::shared_ptr<NetworkSessionStore> store = nullptr);
    ~DesktopSurface();

    static DesktopSurface* from(GtkWidget* widget);
    const std::shared_ptr<WebKitPageView>& page() const { return page_; }

private:
    DesktopSurface(DesktopHost& host, DesktopBridge& bridge, std::shared_ptr<NetworkSessionStore> store);
    static gboolean decidePolicy(
        WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer self);

    DesktopHost& host_;
    std::shared_ptr<WebKitPageView> page_;
    std::unique_ptr<BridgeChannel> channel_;
};

}
