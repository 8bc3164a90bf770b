#pragma once

#include "platform/WebKitLoginView.h"
#include "signin/LoginActions.h"

#include <gtk/gtk.h>

#include <functional>
#include <memory>

namespace korvid {

// A sign-in controller with the browser it drives.
struct LoginController {
    std::shared_ptr<LoginActions> actions;
    std::shared_ptr<WebKitLoginView> browser;
};

// The sign-in screen: makes its controller once, starts it when first shown
// and cancels it when the screen goes away.
class DesktopSignIn {
public:
    // `makeLoginActions` is the host's factory of sign-in controllers.
    static GtkWidget* make(const std::function<LoginController()>& makeLoginActions);
    ~DesktopSignIn();

    static DesktopSignIn* from(GtkWidget* widget);
    const LoginController& controller() const { return controller_; }

private:
    explicit DesktopSignIn(LoginController controller)
        : controller_(std::move(controller))
    {
    }

    LoginController controller_;
    bool started_ = false;
};

}
