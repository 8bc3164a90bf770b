#pragma once

#include "host/DesktopHost.h"
#include "platform/BridgeChannel.h"
#include "platform/WebKitPageView.h"

#include <gtk/gtk.h>

#include <memory>

namespace korvid {

// The main surface: one web view showing Desktop.html, its bridge channel to
// the host, and the navigation policy that keeps it on that page. Created
// when the workspace is shown and torn down with its widget.
class DesktopSurface {
public:
    static GtkWidget* make(DesktopHost& host);
    ~DesktopSurface();

    static DesktopSurface* from(GtkWidget* widget);
    const std::shared_ptr<WebKitPageView>& page() const { return page_; }

private:
    explicit DesktopSurface(DesktopHost& host);
    static gboolean decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
        gpointer self);

    DesktopHost& host_;
    std::shared_ptr<WebKitPageView> page_;
    std::unique_ptr<BridgeChannel> channel_;
};

}
