#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvid {

// What the X server says about a toplevel window.
struct X11WindowInfo {
    bool exists = false;
    std::optional<std::int64_t> pid; // _NET_WM_PID, when the client set it
    std::string title;               // _NET_WM_NAME, else WM_NAME
    int width = 0;
    int height = 0;
};

// None when no X display can be opened (no DISPLAY, or a Wayland session).
std::optional<X11WindowInfo> describeX11Window(std::uint64_t windowID);

}
