#pragma once

#include "app/DesktopWindow.h"
#include "host/DesktopBridge.h"
#include "host/DesktopHost.h"
#include "platform/FileChoosers.h"
#include "platform/GLibExecutor.h"
#include "platform/WebKitWebWorkspace.h"

#include <adwaita.h>

#include <memory>

namespace korvid {

// Fills the bridge's seams that this platform provides: the two file
// choosers over `window()`, the theme, and screen capture (always allowed on
// X11).
void fillPlatformSeams(DesktopBridge& bridge, std::function<GtkWindow*()> window);

// The host's options as the application sets them: requests to the service
// carried by the main loop itself, with no hand-off between threads.
DesktopHostOptions applicationHostOptions(MainLoop& loop);

// Web workspaces on WebKit for the bridge, and their layer over the main
// surface for the window's environment.
void connectWebWorkspaces(DesktopBridge& bridge, WebKitWebWorkspace::Desktop desktop);
WebWorkspaceViewFactory webWorkspaceLayer();

// Process-wide choices made before GTK starts: GTK's cairo renderer, which
// draws the same window with about 70 MB less memory than the GL one here
// (an explicit GSK_RENDERER wins).
void prepareProcess();
// WebKit's settings for the whole process, once GTK runs: no cache of
// finished web processes (the sign-in page's process ends with it).
void prepareWebKit();

// The application: one host for the whole run, one window, the saved theme
// applied before the window is shown, and quitting when the window closes.
class KorvidDesktop {
public:
    KorvidDesktop();
    ~KorvidDesktop();

    // Runs the main loop; returns the exit status when the window is closed.
    int run(int argc, char** argv);

    DesktopHost& host() { return *host_; }
    DesktopBridge& bridge() { return *bridge_; }
    // Called with the window once it exists; the place for other subsystems'
    // wiring (accessibility checks, web workspace view).
    std::function<void(KorvidDesktop&)> configure;
    WebWorkspaceViewFactory webWorkspaceView;

private:
    static void activate(GApplication*, gpointer self);
    void fillSeams();

    GLibExecutor main_;
    std::unique_ptr<DesktopHost> host_;
    // After the host, so it goes first.
    std::unique_ptr<DesktopBridge> bridge_;
    AdwApplication* application_ = nullptr;
    std::unique_ptr<DesktopWindow> window_;
};

}
