#include "app/WebWorkspaceView.h"

#include "platform/WebKitWebWorkspace.h"

#include <adwaita.h>

namespace korvid {

namespace {

// Lives as long as the layer: keeps the workspace and the observer that
// redraws the toolbar and the error line.
struct Layer {
    std::shared_ptr<WebKitWebWorkspace> workspace;
    std::function<void()> close;
    GtkWidget* toolbar = nullptr;
    GtkWidget* divider = nullptr;
    GtkWidget* error = nullptr;
    Observers::Token token = 0;

    void render()
    {
        const auto& text = workspace->errorText();
        bool toolbarShown = !workspace->isCompany() || text.has_value();
        gtk_widget_set_visible(toolbar, toolbarShown);
        gtk_widget_set_visible(divider, toolbarShown);
        gtk_label_set_text(GTK_LABEL(error), text ? text->c_str() : "");
        gtk_widget_set_visible(error, text.has_value());
    }
};

// A toolbar button with a symbolic icon before its title.
GtkWidget* iconButton(const char* icon, const char* title)
{
    GtkWidget* content = adw_button_content_new();
    adw_button_content_set_icon_name(ADW_BUTTON_CONTENT(content), icon);
    adw_button_content_set_label(ADW_BUTTON_CONTENT(content), title);
    GtkWidget* button = gtk_button_new();
    gtk_button_set_child(GTK_BUTTON(button), content);
    return button;
}

GtkWidget* makeLayer(const std::shared_ptr<WebWorkspace>& workspace, std::function<void()> close)
{
    auto concrete = std::dynamic_pointer_cast<WebKitWebWorkspace>(workspace);
    if (!concrete)
        return nullptr;
    auto* layer = new Layer { concrete, std::move(close) };

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    // Opaque: the main page underneath must not show through.
    gtk_widget_add_css_class(box, "background");

    layer->toolbar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    for (auto margin : { gtk_widget_set_margin_top, gtk_widget_set_margin_bottom, gtk_widget_set_margin_start,
             gtk_widget_set_margin_end })
        margin(layer->toolbar, 8);
    GtkWidget* back = iconButton("go-previous-symbolic", concrete->isCompany() ? "返回客户档案" : "返回桌面工作台");
    GtkWidget* space = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_widget_set_hexpand(space, TRUE);
    GtkWidget* refresh = iconButton("view-refresh-symbolic", "刷新");
    gtk_box_append(GTK_BOX(layer->toolbar), back);
    gtk_box_append(GTK_BOX(layer->toolbar), space);
    gtk_box_append(GTK_BOX(layer->toolbar), refresh);
    gtk_box_append(GTK_BOX(box), layer->toolbar);
    layer->divider = gtk_separator_new(GTK_ORIENTATION_HORIZONTAL);
    gtk_box_append(GTK_BOX(box), layer->divider);

    layer->error = gtk_label_new("");
    gtk_label_set_wrap(GTK_LABEL(layer->error), TRUE);
    gtk_label_set_selectable(GTK_LABEL(layer->error), TRUE);
    for (auto margin : { gtk_widget_set_margin_top, gtk_widget_set_margin_bottom, gtk_widget_set_margin_start,
             gtk_widget_set_margin_end })
        margin(layer->error, 12);
    gtk_box_append(GTK_BOX(box), layer->error);

    GtkWidget* web = GTK_WIDGET(concrete->browser());
    gtk_widget_set_hexpand(web, TRUE);
    gtk_widget_set_vexpand(web, TRUE);
    gtk_box_append(GTK_BOX(box), web);

    g_signal_connect(back, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
        auto close = static_cast<Layer*>(data)->close;
        if (close)
            close();
    }),
        layer);
    g_signal_connect(refresh, "clicked",
        G_CALLBACK(+[](GtkButton*, gpointer data) { static_cast<Layer*>(data)->workspace->reload(); }), layer);
    layer->token = concrete->errorTextObservers().subscribe([layer] { layer->render(); });
    layer->render();
    g_object_set_data_full(G_OBJECT(box), "korvid-web-workspace-layer", layer, [](gpointer data) {
        auto* layer = static_cast<Layer*>(data);
        layer->workspace->errorTextObservers().unsubscribe(layer->token);
        delete layer;
    });
    return box;
}

}

WebWorkspaceViewFactory WebWorkspaceView::factory()
{
    return makeLayer;
}

}
