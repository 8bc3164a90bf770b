#include "app/DesktopSignIn.h"

#include "app/LoginBrowser.h"
#include "app/LoginSheet.h"

namespace korvid {

GtkWidget* DesktopSignIn::make(const std::function<LoginController()>& makeLoginActions)
{
    auto* screen = new DesktopSignIn(makeLoginActions());
    GtkWidget* sheet
        = LoginSheet::make(loginBrowser(GTK_WIDGET(screen->controller_.browser->view())), screen->controller_.actions);
    g_object_set_data_full(
        G_OBJECT(sheet), "korvid-sign-in", screen, [](gpointer data) { delete static_cast<DesktopSignIn*>(data); });
    g_signal_connect(sheet, "map", G_CALLBACK(+[](GtkWidget* widget, gpointer) {
        auto* screen = DesktopSignIn::from(widget);
        if (screen && !screen->started_) {
            screen->started_ = true;
            screen->controller_.actions->start();
        }
    }),
        nullptr);
    return sheet;
}

DesktopSignIn* DesktopSignIn::from(GtkWidget* widget)
{
    return static_cast<DesktopSignIn*>(g_object_get_data(G_OBJECT(widget), "korvid-sign-in"));
}

DesktopSignIn::~DesktopSignIn()
{
    controller_.actions->cancel();
}

}
