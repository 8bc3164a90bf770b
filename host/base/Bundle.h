#pragma once

#include <filesystem>
#include <string>

namespace korvid {

// The application's identifier, fixed at build time.
inline constexpr const char* kBundleIdentifier = "com.vantorel.desktop";

// The service origin: built in, overridable with KORVID_ORIGIN.
inline constexpr const char* kDefaultOrigin = "https://app.korvid.cn";
std::string serviceOrigin();

// The folder of the running executable, and resources/ beside it.
std::filesystem::path executableFolder();
std::filesystem::path resourcesFolder();

}
