#include "app/DesktopWindow.h"

#include "app/DesktopSurface.h"
#include "app/LoginActionsFactory.h"

namespace korvid {

DesktopWindow::DesktopWindow(
    GtkApplication* application, DesktopHost& host, DesktopBridge& bridge, Environment environment)
    : host_(host)
    , bridge_(bridge)
    , environment_(std::move(environment))
{
    window_ = GTK_WINDOW(application ? gtk_application_window_new(application) : gtk_window_new());
    // The window is owned by GTK's toplevel list; we keep a reference so the
    // pointer stays valid until we are gone.
    g_object_ref(window_);
    gtk_window_set_title(window_, "Korvid");
    gtk_window_set_default_size(window_, kDefaultWidth, kDefaultHeight);
    gtk_widget_set_size_request(GTK_WIDGET(window_), kMinimumWidth, kMinimumHeight);

    // Content swaps happen from the main loop, never inside the call that
    // changed the screen (which may be a callback of the view being removed).
    std::weak_ptr<bool> alive = alive_;
    auto later = [this, alive] {
        host_.mainExecutor().post([this, alive] {
            if (alive.lock())
                showScreen();
        });
    };
    screenToken_ = host_.screenObservers().subscribe(later);
    workspaceToken_ = host_.webWorkspaceObservers().subscribe([this, alive] {
        host_.mainExecutor().post([this, alive] {
            if (alive.lock())
                showWebWorkspace();
        });
    });
    showScreen();
}

DesktopWindow::~DesktopWindow()
{
    alive_.reset();
    dropPreparedSurface();
    host_.screenObservers().unsubscribe(screenToken_);
    host_.webWorkspaceObservers().unsubscribe(workspaceToken_);
    gtk_window_destroy(window_);
    g_object_unref(window_);
}

void DesktopWindow::showScreen()
{
    Screen screen = host_.screen();
    if (shown_ == screen)
        return;
    shown_ = screen;
    GtkWidget* prepared = std::exchange(prepared_, nullptr);
    signIn_ = stack_ = surface_ = overlayView_ = nullptr;
    if (screen == Screen::authentication) {
        DesktopHost* host = &host_;
        signIn_ = DesktopSignIn::make(
            [host, this] { return makeLoginActions(*host, environment_.timers, environment_.resources); });
        gtk_window_set_child(window_, signIn_);
        if (prepared)
            g_object_unref(prepared);
        std::weak_ptr<bool> alive = alive_;
        DesktopSignIn::from(signIn_)->controller().actions->observePhase(
            [this, alive](const LoginActions::Phase& phase) {
                if (phase.kind == LoginActions::Phase::Kind::ready && alive.lock())
                    prepareSurface();
            });
        return;
    }
    stack_ = gtk_overlay_new();
    surface_ = prepared ? prepared : DesktopSurface::make(host_, bridge_);
    gtk_overlay_set_child(GTK_OVERLAY(stack_), surface_);
    if (prepared)
        g_object_unref(prepared);
    gtk_window_set_child(window_, stack_);
    showWebWorkspace();
}

void DesktopWindow::prepareSurface()
{
    if (prepared_ || !signIn_)
        return;
    // The main view browses with the sign-in browser's network session: the
    // store that will be the verified one.
    auto* signIn = DesktopSignIn::from(signIn_);
    prepared_ = DesktopSurface::make(host_, bridge_, signIn ? signIn->controller().browser->store() : nullptr);
    g_object_ref_sink(prepared_);
}

void DesktopWindow::dropPreparedSurface()
{
    if (prepared_)
        g_object_unref(std::exchange(prepared_, nullptr));
}

void DesktopWindow::showWebWorkspace()
{
    if (!stack_)
        return;
    auto workspace = host_.webWorkspace();
    GtkWidget* focus = gtk_root_get_focus(GTK_ROOT(window_));
    bool focusInLayer = overlayView_ && focus && (focus == overlayView_ || gtk_widget_is_ancestor(focus, overlayView_));
    if (overlayView_) {
        gtk_overlay_remove_overlay(GTK_OVERLAY(stack_), overlayView_);
        overlayView_ = nullptr;
    }
    // The main page keeps its state underneath: it is only made transparent,
    // unreachable for pointer and keyboard, and hidden from accessibility.
    bool covered = workspace != nullptr;
    gtk_widget_set_opacity(surface_, covered ? 0.0 : 1.0);
    gtk_widget_set_can_target(surface_, !covered);
    gtk_widget_set_can_focus(surface_, !covered);
    gtk_accessible_update_state(GTK_ACCESSIBLE(surface_), GTK_ACCESSIBLE_STATE_HIDDEN, covered, -1);
    auto* surface = DesktopSurface::from(surface_);
    GtkWidget* mainView = surface && surface->page() ? GTK_WIDGET(surface->page()->view()) : nullptr;
    if (!covered) {
        // The keyboard comes back to the main page with the pointer, unless
        // it was somewhere else than the closed layer.
        if (mainView && (focusInLayer || !gtk_root_get_focus(GTK_ROOT(window_))))
            gtk_widget_grab_focus(mainView);
        return;
    }
    DesktopHost* host = &host_;
    auto close = [host] { host->closeWebWorkspace(); };
    overlayView_ = environment_.webWorkspaceView ? environment_.webWorkspaceView(workspace, close) : nullptr;
    if (!overlayView_)
        overlayView_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_widget_set_hexpand(overlayView_, TRUE);
    gtk_widget_set_vexpand(overlayView_, TRUE);
    gtk_overlay_add_overlay(GTK_OVERLAY(stack_), overlayView_);
    // Taking the main page out of focus order does not take the keyboard
    // from it: whatever held the focus there would still receive keys. (No
    // focus at all: the workspace this one replaced had it.)
    focus = gtk_root_get_focus(GTK_ROOT(window_));
    if (!focus || focus == surface_ || gtk_widget_is_ancestor(focus, surface_)) {
        gtk_window_set_focus(window_, nullptr);
        gtk_widget_child_focus(overlayView_, GTK_DIR_TAB_FORWARD);
    }
}

}
