#pragma once

#include "base/Json.h"
#include "platform/GLibExecutor.h"

#include <webkit/webkit.h>

#include <filesystem>
#include <optional>
#include <string>

namespace korvid::testing {

// True when GTK could open the display (the window tests skip otherwise).
bool openDisplay();

// The outcome of a script run as an async function in a web view.
struct ScriptOutcome {
    std::optional<Json> value;
    std::string error;
};

// Runs `body` in `view`'s page world and waits for its outcome (up to 10 s).
ScriptOutcome runScript(GLibExecutor& main, WebKitWebView* view, const std::string& body);

// Draws `widget` as it is on screen into a PNG file under the tests'
// screenshot folder (bin/screenshots) and returns the file.
std::filesystem::path saveScreenshot(GtkWidget* widget, const std::string& name);

// The visible part of a web page as WebKit draws it, into a PNG file there.
std::filesystem::path saveWebScreenshot(GLibExecutor& main, WebKitWebView* view, const std::string& name);

// Labels of the GtkLabel and GtkButton descendants of `widget`, in order.
std::vector<std::string> textsIn(GtkWidget* widget);
// The first button below `widget` labelled `label`, or null.
GtkWidget* findButton(GtkWidget* widget, const std::string& label);

}
