#include "driver/cua-driver/X11WindowInfo.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <memory>

namespace korvid {

namespace {

// A window that vanished raises BadWindow asynchronously; Xlib's default
// handler would print to standard error and exit the driver.
bool gFailed = false;

int recordError(Display*, XErrorEvent*)
{
    gFailed = true;
    return 0;
}

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};

std::optional<std::string> textProperty(Display* display, Window window, Atom property, Atom type)
{
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, property, 0, 4096, False, type, &actualType, &format, &count, &after, &data)
            != Success
        || !data)
        return std::nullopt;
    std::optional<std::string> text;
    if (actualType == type && format == 8)
        text = std::string(reinterpret_cast<const char*>(data), count);
    XFree(data);
    return text;
}

std::optional<std::int64_t> cardinalProperty(Display* display, Window window, Atom property)
{
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(
            display, window, property, 0, 1, False, XA_CARDINAL, &actualType, &format, &count, &after, &data)
            != Success
        || !data)
        return std::nullopt;
    std::optional<std::int64_t> value;
    if (actualType == XA_CARDINAL && format == 32 && count == 1)
        value = static_cast<std::int64_t>(*reinterpret_cast<unsigned long*>(data));
    XFree(data);
    return value;
}

}

std::optional<X11WindowInfo> describeX11Window(std::uint64_t windowID)
{
    std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    if (!display)
        return std::nullopt;
    auto previous = XSetErrorHandler(recordError);
    gFailed = false;

    X11WindowInfo info;
    Window window = static_cast<Window>(windowID);
    XWindowAttributes attributes {};
    Status found = XGetWindowAttributes(display.get(), window, &attributes);
    XSync(display.get(), False);
    if (found && !gFailed) {
        info.exists = true;
        info.width = attributes.width;
        info.height = attributes.height;
        Atom utf8 = XInternAtom(display.get(), "UTF8_STRING", False);
        info.pid = cardinalProperty(display.get(), window, XInternAtom(display.get(), "_NET_WM_PID", False));
        auto title = textProperty(display.get(), window, XInternAtom(display.get(), "_NET_WM_NAME", False), utf8);
        if (!title)
            title = textProperty(display.get(), window, XA_WM_NAME, XA_STRING);
        info.title = title.value_or("");
        XSync(display.get(), False);
    }
    XSetErrorHandler(previous);
    return info;
}

}
