#include "app/DesktopSurface.h"

namespace korvid {

GtkWidget* DesktopSurface::make(DesktopHost& host, DesktopBridge& bridge, std::shared_ptr<NetworkSessionStore> store)
{
    auto* surface = new DesktopSurface(host, bridge, std::move(store));
    // The box owns the surface; the surface owns a reference to the view.
    // (Hanging the surface on the view itself would keep the view alive.)
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_widget_set_hexpand(box, TRUE);
    gtk_widget_set_vexpand(box, TRUE);
    gtk_box_append(GTK_BOX(box), GTK_WIDGET(surface->page_->view()));
    g_object_set_data_full(G_OBJECT(box), "korvid-desktop-surface", surface,
        [](gpointer data) { delete static_cast<DesktopSurface*>(data); });
    return box;
}

DesktopSurface* DesktopSurface::from(GtkWidget* widget)
{
    return static_cast<DesktopSurface*>(g_object_get_data(G_OBJECT(widget), "korvid-desktop-surface"));
}

DesktopSurface::DesktopSurface(DesktopHost& host, DesktopBridge& bridge, std::shared_ptr<NetworkSessionStore> store)
    : host_(host)
{
    if (!store)
        store = std::dynamic_pointer_cast<NetworkSessionStore>(host.verifiedStore());
    // The bridge's web context, and the signed-in network session when there
    // is one, so the page shares its data with the sign-in.
    WebKitWebView* view = nullptr;
    if (store) {
        view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", BridgeChannel::webContext(),
            "network-session", store->session(), nullptr));
    } else {
        view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", BridgeChannel::webContext(), nullptr));
    }
    page_ = std::make_shared<WebKitPageView>(view);
    gtk_widget_set_hexpand(GTK_WIDGET(view), TRUE);
    gtk_widget_set_vexpand(GTK_WIDGET(view), TRUE);
    DesktopBridge* target = &bridge;
    channel_ = std::make_unique<BridgeChannel>(
        view, page_, [target](BridgeMessage message) { target->receive(std::move(message)); });
    host_.setWorkspaceWeb(page_);
    g_signal_connect(view, "decide-policy", G_CALLBACK(decidePolicy), this);
    // The main page is an application, not a browser: no Back, Reload or
    // Inspect, only editing where there is text.
    g_signal_connect(view, "context-menu", G_CALLBACK(editingContextMenu), this);
    webkit_web_view_load_uri(view, host_.desktopPageURL().c_str());
}

DesktopSurface::~DesktopSurface()
{
    auto* view = page_->view();
    g_signal_handlers_disconnect_by_data(view, this);
    channel_.reset();
    webkit_web_view_stop_loading(view);
}

gboolean DesktopSurface::decidePolicy(
    WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer data)
{
    auto* self = static_cast<DesktopSurface*>(data);
    if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION)
        return FALSE;
    auto* action = webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    if (uri && self->host_.decideNavigation(uri))
        webkit_policy_decision_use(decision);
    else
        webkit_policy_decision_ignore(decision);
    return TRUE;
}

}
