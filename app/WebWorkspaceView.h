#pragma once

#include "app/WebWorkspaceSlot.h"

namespace korvid {

// The layer over the main surface for one open web workspace: a toolbar
// (back to the customer's file or to the desk, and refresh), the workspace's
// error line while there is one, and its web view below. A company page,
// which leaves through its own links, shows the toolbar only while it has
// an error.
namespace WebWorkspaceView {

// The window's factory for the layer; null for a workspace of another kind.
WebWorkspaceViewFactory factory();

}

}
