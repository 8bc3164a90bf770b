#pragma once

#include "host/PageView.h"
#include "platform/GObjectRef.h"

#include <webkit/webkit.h>

namespace korvid {

// The host's view of one WebKit web view (the main surface, or a web
// workspace's). Holds a reference to the view.
class WebKitPageView final : public PageView {
public:
    explicit WebKitPageView(WebKitWebView* view);

    void evaluateScript(const std::string& script) override;
    void callAsyncFunction(const std::string& body, const Json& arguments) override;
    std::optional<std::uint64_t> windowID() const override;

    WebKitWebView* view() const { return view_.get(); }

private:
    GObjectRef<WebKitWebView> view_;
};

// A "context-menu" handler for pages that are an application rather than a
// browser: of WebKit's menu it keeps only the editing items (cut, copy,
// paste, select all) with Chinese labels, and shows no menu when none is
// left.
gboolean editingContextMenu(WebKitWebView*, WebKitContextMenu* menu, WebKitHitTestResult*, gpointer);

// The X11 id of `widget`'s toplevel, once it is mapped on an X11 display.
std::optional<std::uint64_t> x11WindowID(GtkWidget* widget);

}
