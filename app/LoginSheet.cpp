#include "app/LoginSheet.h"

namespace korvid {

namespace {

const char* const kSheetStyle = R"CSS(
.korvid-login-sheet { background-color: @theme_base_color; }
.korvid-login-sheet spinner { color: rgb(48, 94, 204); }
.korvid-login-sheet button.suggested-action { background-color: rgb(48, 94, 204); color: white; }
.korvid-login-sheet .title { font-weight: bold; font-size: 1.15em; }
)CSS";

void installStyle()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    GtkCssProvider* provider = gtk_css_provider_new();
    gtk_css_provider_load_from_data(provider, kSheetStyle, -1);
    gtk_style_context_add_provider_for_display(
        gdk_display_get_default(), GTK_STYLE_PROVIDER(provider), GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(provider);
}

GtkWidget* spinnerPanel(const char* text)
{
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
    GtkWidget* spinner = gtk_spinner_new();
    gtk_spinner_start(GTK_SPINNER(spinner));
    gtk_widget_set_size_request(spinner, 32, 32);
    gtk_box_append(GTK_BOX(box), spinner);
    gtk_box_append(GTK_BOX(box), gtk_label_new(text));
    return box;
}

GtkWidget* button(const char* text, std::function<void()> action)
{
    GtkWidget* widget = gtk_button_new_with_label(text);
    auto* held = new std::function<void()>(std::move(action));
    g_signal_connect_data(
        widget, "clicked",
        G_CALLBACK(+[](GtkButton*, gpointer data) { (*static_cast<std::function<void()>*>(data))(); }), held,
        [](gpointer data, GClosure*) { delete static_cast<std::function<void()>*>(data); }, GConnectFlags(0));
    return widget;
}

GtkWidget* failurePanel(const char* title, const std::string& message)
{
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
    gtk_widget_set_margin_start(box, 16);
    gtk_widget_set_margin_end(box, 16);
    gtk_widget_set_margin_top(box, 16);
    gtk_widget_set_margin_bottom(box, 16);
    GtkWidget* heading = gtk_label_new(title);
    gtk_widget_add_css_class(heading, "title");
    gtk_box_append(GTK_BOX(box), heading);
    GtkWidget* detail = gtk_label_new(message.c_str());
    gtk_label_set_wrap(GTK_LABEL(detail), TRUE);
    gtk_label_set_justify(GTK_LABEL(detail), GTK_JUSTIFY_CENTER);
    gtk_widget_add_css_class(detail, "dim-label");
    gtk_box_append(GTK_BOX(box), detail);
    return box;
}

}

GtkWidget* LoginSheet::make(GtkWidget* browser, std::shared_ptr<LoginActions> actions)
{
    installStyle();
    GtkWidget* root = gtk_overlay_new();
    gtk_widget_add_css_class(root, "korvid-login-sheet");
    gtk_widget_set_hexpand(root, TRUE);
    gtk_widget_set_vexpand(root, TRUE);
    auto* sheet = new LoginSheet(root, browser, std::move(actions));
    g_object_set_data_full(
        G_OBJECT(root), "korvid-login-sheet", sheet, [](gpointer data) { delete static_cast<LoginSheet*>(data); });
    return root;
}

LoginSheet* LoginSheet::from(GtkWidget* widget)
{
    return static_cast<LoginSheet*>(g_object_get_data(G_OBJECT(widget), "korvid-login-sheet"));
}

LoginSheet::LoginSheet(GtkWidget* root, GtkWidget* browser, std::shared_ptr<LoginActions> actions)
    : root_(root)
    , browser_(browser)
    , actions_(std::move(actions))
{
    gtk_widget_set_hexpand(browser_, TRUE);
    gtk_widget_set_vexpand(browser_, TRUE);
    // The browser stays laid out in every phase so loading goes on behind
    // the top layer.
    gtk_overlay_set_child(GTK_OVERLAY(root_), browser_);
    observer_ = actions_->observePhase([this](const LoginActions::Phase& phase) { render(phase); });
    render(actions_->phase());
}

LoginSheet::~LoginSheet()
{
    actions_->removePhaseObserver(observer_);
}

void LoginSheet::render(const LoginActions::Phase& phase)
{
    using Kind = LoginActions::Phase::Kind;
    bool ready = phase.kind == Kind::ready;
    gtk_widget_set_opacity(browser_, ready ? 1.0 : 0.0);
    gtk_widget_set_can_target(browser_, ready);
    gtk_widget_set_can_focus(browser_, ready);
    gtk_accessible_update_state(GTK_ACCESSIBLE(browser_), GTK_ACCESSIBLE_STATE_HIDDEN, !ready, -1);

    if (top_) {
        gtk_overlay_remove_overlay(GTK_OVERLAY(root_), top_);
        top_ = nullptr;
    }
    std::weak_ptr<LoginActions> weak = actions_;
    switch (phase.kind) {
    case Kind::ready:
        // Keys go to the page as soon as it shows, so typing fills the field
        // the page focused.
        gtk_widget_grab_focus(browser_);
        return;
    case Kind::loading:
        top_ = spinnerPanel("正在打开登录页…");
        break;
    case Kind::verifying:
        top_ = spinnerPanel("正在确认账号…");
        break;
    case Kind::failed:
        top_ = failurePanel("登录页未能打开", phase.message);
        gtk_box_append(GTK_BOX(top_), button("重新加载", [weak] {
            if (auto actions = weak.lock())
                actions->start();
        }));
        break;
    case Kind::verificationFailed: {
        top_ = failurePanel("账号验证未完成", phase.message);
        GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
        gtk_widget_set_halign(row, GTK_ALIGN_CENTER);
        gtk_box_append(GTK_BOX(row), button("重新登录", [weak] {
            if (auto actions = weak.lock())
                actions->signInAgain();
        }));
        GtkWidget* retry = button("重试验证", [weak] {
            if (auto actions = weak.lock())
                actions->retryVerification();
        });
        gtk_widget_add_css_class(retry, "suggested-action");
        gtk_box_append(GTK_BOX(row), retry);
        gtk_box_append(GTK_BOX(top_), row);
        break;
    }
    }
    gtk_widget_set_halign(top_, GTK_ALIGN_CENTER);
    gtk_widget_set_valign(top_, GTK_ALIGN_CENTER);
    gtk_overlay_add_overlay(GTK_OVERLAY(root_), top_);
}

}
