#include "platform/WebKitPageView.h"

#include "platform/JsonVariant.h"

#include <gdk/x11/gdkx.h>

#include <algorithm>
#include <vector>

namespace korvid {

WebKitPageView::WebKitPageView(WebKitWebView* view)
    : view_(GObjectRef<WebKitWebView>::retain(view))
{
}

void WebKitPageView::evaluateScript(const std::string& script)
{
    webkit_web_view_evaluate_javascript(
        view_.get(), script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr, nullptr, nullptr, nullptr);
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

gboolean editingContextMenu(WebKitWebView*, WebKitContextMenu* menu, WebKitHitTestResult*, gpointer)
{
    static const std::pair<WebKitContextMenuAction, const char*> kEditing[] = {
        { WEBKIT_CONTEXT_MENU_ACTION_CUT, "剪切" },
        { WEBKIT_CONTEXT_MENU_ACTION_COPY, "复制" },
        { WEBKIT_CONTEXT_MENU_ACTION_PASTE, "粘贴" },
        { WEBKIT_CONTEXT_MENU_ACTION_SELECT_ALL, "全选" },
    };
    std::vector<WebKitContextMenuAction> offered;
    for (GList* item = webkit_context_menu_get_items(menu); item; item = item->next)
        offered.push_back(webkit_context_menu_item_get_stock_action(WEBKIT_CONTEXT_MENU_ITEM(item->data)));
    webkit_context_menu_remove_all(menu);
    for (auto [action, label] : kEditing) {
        if (std::find(offered.begin(), offered.end(), action) != offered.end())
            webkit_context_menu_append(menu, webkit_context_menu_item_new_from_stock_action_with_label(action, label));
    }
    // TRUE shows nothing at all.
    return webkit_context_menu_get_n_items(menu) == 0;
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
