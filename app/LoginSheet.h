#pragma once

#include "signin/LoginActions.h"

#include <gtk/gtk.h>

#include <memory>

namespace korvid {

// The visible sign-in sheet: the sign-in browser underneath, shown and usable
// only while the page is ready, and above it the spinner or the failure panel
// of the controller's phase. The returned widget owns the sheet.
class LoginSheet {
public:
    static GtkWidget* make(GtkWidget* browser, std::shared_ptr<LoginActions> actions);
    ~LoginSheet();

    // The sheet attached to `widget` by make(), for tests.
    static LoginSheet* from(GtkWidget* widget);
    GtkWidget* overlayContent() const { return top_; }

private:
    LoginSheet(GtkWidget* root, GtkWidget* browser, std::shared_ptr<LoginActions> actions);
    void render(const LoginActions::Phase& phase);

    GtkWidget* root_;
    GtkWidget* browser_;
    GtkWidget* top_ = nullptr;
    std::shared_ptr<LoginActions> actions_;
    std::size_t observer_ = 0;
};

}
