#pragma once

#include "host/DesktopAppearance.h"

namespace korvid {

// Applies a theme to the whole application through libadwaita's style
// manager; "system" follows the desktop's setting. Needs adw_init().
void applyAdwAppearance(DesktopAppearance appearance);

}
