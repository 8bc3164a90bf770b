#include "platform/AdwAppearance.h"

#include <adwaita.h>

namespace korvid {

void applyAdwAppearance(DesktopAppearance appearance)
{
    AdwColorScheme scheme = ADW_COLOR_SCHEME_DEFAULT;
    if (appearance == DesktopAppearance::light)
        scheme = ADW_COLOR_SCHEME_FORCE_LIGHT;
    else if (appearance == DesktopAppearance::dark)
        scheme = ADW_COLOR_SCHEME_FORCE_DARK;
    adw_style_manager_set_color_scheme(adw_style_manager_get_default(), scheme);
}

}
