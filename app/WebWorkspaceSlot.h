#pragma once

#include "host/WebWorkspace.h"

#include <gtk/gtk.h>

#include <functional>
#include <memory>

namespace korvid {

// Builds the view laid over the main surface for an open web workspace;
// `close` is the view's close control. The web workspace view fills it; while
// it is empty, an open workspace covers the main surface with nothing drawn.
using WebWorkspaceViewFactory
    = std::function<GtkWidget*(const std::shared_ptr<WebWorkspace>& workspace, std::function<void()> close)>;

}
