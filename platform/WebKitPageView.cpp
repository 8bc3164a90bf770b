#include "platform/WebKitPageView.h"

#include "platform/JsonVariant.h"

#include <gdk/x11/gdkx.h>

namespace korvid {

WebKitPageView::WebKitPageView(WebKitWebView* view)
    : view_(GObjectRef<WebKitWebView>::retain(view))
{
}

void WebKitPageView::evaluateScript(const std::string& script)
{
    webkit_web_view_evaluate_javascript(view_.get(), script.c_str(), static_cast<gssize>(script.size()), nullptr,
        nullptr, nullptr, nullptr, nullptr);
}

void WebKitPageView::callAsyncFunction(const std::string& body, const Json& arguments)
{
    webkit_web_view_call_async_javascript_function(view_.get(), body.c_str(), static_cast<gssize>(body.size()),
        variantFromJson(arguments), nullptr, nullptr, nullptr, nullptr, nullptr);
}

std::optional<std::uint64_t> WebKitPageView::windowID() const
{
    return x11WindowID(GTK_WIDGET(view_.get()));
}

std::optional<std::uint64_t> x11WindowID(GtkWidget* widget)
{
    GtkNative* native = gtk_widget_get_native(widget);
    if (!native || !gtk_widget_get_mapped(GTK_WIDGET(native)))
        return std::nullopt;
    GdkSurface* surface = gtk_native_get_surface(native);
    if (!surface || !GDK_IS_X11_SURFACE(surface))
        return std::nullopt;
    auto xid = gdk_x11_surface_get_xid(surface);
    if (!xid)
        return std::nullopt;
    return static_cast<std::uint64_t>(xid);
}

}
