#pragma once

#include <gtk/gtk.h>

namespace korvid {

// Puts an existing web view into a view hierarchy unchanged: the widget is
// the view itself. Its owner (the sign-in controller's browser, or a web
// workspace) stays responsible for it.
inline GtkWidget* loginBrowser(GtkWidget* browser)
{
    return browser;
}

}
