#include "host/DesktopAppearance.h"

namespace korvid {
SettingsFile::SettingsFile(std::filesystem::path path) : path_(std::move(path)) { }
}
