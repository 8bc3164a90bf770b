#include "app/KorvidDesktop.h"

#include "app/LocalServices.h"
#include "base/Bundle.h"
#include "host/CurlTransport.h"
#include "tasks/TaskWorkspace.h"
#include "platform/AdwAppearance.h"
#include "app/WebWorkspaceView.h"

#include <webkit/webkit.h>

#include <cstdlib>

namespace korvid {

void prepareProcess()
{
    setenv("GSK_RENDERER", "cairo", 0);
}

void prepareWebKit()
{
    webkit_web_context_set_cache_model(webkit_web_context_get_default(), WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
}

void fillPlatformSeams(DesktopBridge& bridge, std::function<GtkWindow*()> window)
{
    bridge.machine.selectEventFile = eventFileChooser(window);
    bridge.tasks.selectTaskFiles = taskFilesChooser(window);
    bridge.machine.applyAppearance = applyAdwAppearance;
    // On X11 any client may read the screen: nothing to ask for.
    bridge.machine.screenCaptureAllowed = [] { return true; };
    bridge.machine.requestScreenCapture = [] {};
}

void connectWebWorkspaces(DesktopBridge& bridge, WebKitWebWorkspace::Desktop desktop)
{
    bridge.webWorkspaces.makeWebWorkspace = webKitWebWorkspaces(std::move(desktop));
}

WebWorkspaceViewFactory webWorkspaceLayer()
{
    return WebWorkspaceView::factory();
}

DesktopHostOptions applicationHostOptions(MainLoop& loop)
{
    DesktopHostOptions options;
    options.transport = std::make_shared<CurlLoopTransport>(loop);
    return options;
}

KorvidDesktop::KorvidDesktop()
    : webWorkspaceView(webWorkspaceLayer())
    , host_(std::make_unique<DesktopHost>(main_, applicationHostOptions(main_)))
    , bridge_(std::make_unique<DesktopBridge>(*host_))
{
    fillSeams();
    connectWebWorkspaces(*bridge_, WebKitWebWorkspace::defaultDesktop());
    connectLocalServices(*bridge_, std::make_shared<TaskWorkspace>(TaskWorkspace::defaultRoot()));
}

KorvidDesktop::~KorvidDesktop()
{
    window_.reset();
    if (application_)
        g_object_unref(application_);
}

void KorvidDesktop::fillSeams()
{
    fillPlatformSeams(*bridge_, [this]() -> GtkWindow* { return window_ ? window_->window() : nullptr; });
}

int KorvidDesktop::run(int argc, char** argv)
{
    application_ = adw_application_new(kBundleIdentifier, G_APPLICATION_DEFAULT_FLAGS);
    g_signal_connect(application_, "activate", G_CALLBACK(activate), this);
    int status = g_application_run(G_APPLICATION(application_), argc, argv);
    window_.reset();
    return status;
}

void KorvidDesktop::activate(GApplication*, gpointer data)
{
    auto* self = static_cast<KorvidDesktop*>(data);
    if (self->window_) {
        gtk_window_present(self->window_->window());
        return;
    }
    prepareWebKit();
    // The icon comes from the icon theme; share/icons beside the pages is
    // searched too, so the build folder and a relocated install have it.
    gtk_icon_theme_add_search_path(
        gtk_icon_theme_get_for_display(gdk_display_get_default()), (resourcesFolder().parent_path() / "icons").c_str());
    gtk_window_set_default_icon_name(kBundleIdentifier);
    // The theme first, so the window's first frame is drawn in it.
    applyAdwAppearance(self->host_->savedAppearance());
    self->window_ = std::make_unique<DesktopWindow>(GTK_APPLICATION(self->application_), *self->host_, *self->bridge_,
        DesktopWindow::Environment { self->main_, resourcesFolder(), self->webWorkspaceView });
    if (self->configure)
        self->configure(*self);
    gtk_window_present(self->window_->window());
}

}
