#pragma once

#include "host/DesktopBridge.h"
#include "host/DesktopHost.h"
#include "app/DesktopSignIn.h"
#include "base/MainTimers.h"
#include "app/WebWorkspaceSlot.h"

#include <gtk/gtk.h>

#include <filesystem>

namespace korvid {

// The one window, titled "Korvid": the sign-in screen or the main surface
// with the web workspace laid over it, as the host's screen says.
class DesktopWindow {
public:
    struct Environment {
        MainTimers& timers;
        std::filesystem::path resources;
        WebWorkspaceViewFactory webWorkspaceView; // may be empty
    };

    static constexpr int kDefaultWidth = 940;
    static constexpr int kDefaultHeight = 720;
    static constexpr int kMinimumWidth = 700;
    static constexpr int kMinimumHeight = 530;

    // `application` may be null (tests run the window without one). The main
    // surface's page talks to `bridge`.
    DesktopWindow(GtkApplication* application, DesktopHost& host, DesktopBridge& bridge, Environment environment);
    ~DesktopWindow();
    DesktopWindow(const DesktopWindow&) = delete;
    DesktopWindow& operator=(const DesktopWindow&) = delete;

    GtkWindow* window() const { return window_; }
    // What the window shows now, for tests.
    GtkWidget* signIn() const { return signIn_; }
    GtkWidget* surface() const { return surface_; }
    GtkWidget* webWorkspaceLayer() const { return overlayView_; }

private:
    void showScreen();
    void showWebWorkspace();
    void prepareSurface();
    void dropPreparedSurface();

    DesktopHost& host_;
    DesktopBridge& bridge_;
    Environment environment_;
    GtkWindow* window_;
    GtkWidget* signIn_ = nullptr;
    GtkWidget* stack_ = nullptr;   // the workspace's layers
    GtkWidget* surface_ = nullptr; // the main surface in the stack
    GtkWidget* overlayView_ = nullptr;
    std::optional<Screen> shown_;
    // The main surface made in advance, once the sign-in page is shown, so
    // the main page is loaded by the time the sign-in completes. Its page
    // waits until it is visible before it asks anything of the host.
    GtkWidget* prepared_ = nullptr;
    Observers::Token screenToken_ = 0;
    Observers::Token workspaceToken_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}
