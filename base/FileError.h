#pragma once

#include <string>
#include <string_view>

namespace korvid {

// The reason behind an errno value, as a short Chinese phrase.
std::string systemReason(int error);

// Throws DesktopError "<action>失败：<reason>。", so that failures of the file
// system reach the page as one Chinese sentence. `action` names what was
// attempted, e.g. "读取「projects.json」".
[[noreturn]] void throwFileError(std::string_view action, int error);

}
