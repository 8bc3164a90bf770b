#pragma once

#include <optional>
#include <string_view>

namespace korvid {

// The service's own web pages and scripts, compiled into the program, by file
// name ("signin.html", "app.js", ...).
std::optional<std::string_view> webAsset(std::string_view name);

}
