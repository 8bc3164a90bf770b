#pragma once

#include <filesystem>
#include <string>

namespace korvid {

// The application's identifier, fixed at build time.
inline constexpr const char* kBundleIdentifier = "com.vantorel.desktop";

// The version of the programs, from the build ("1.0.0").
const char* applicationVersion();

// The service origin: built in, overridable with KORVID_ORIGIN.
inline constexpr const char* kDefaultOrigin = "https://app.korvid.cn";
std::string serviceOrigin();

// The folder of the running executable.
std::filesystem::path executableFolder();

// Where the shipped pages live. In the build folder that is resources/
// beside the executable; installed, the pages are in
// <exe>/../share/korvid-desktop and the private helpers (cua-driver, the
// excerpt reader modules) in <exe>/../libexec/korvid-desktop. Both are found
// relative to the executable, so a relocated install works.
std::filesystem::path resourcesFolder();
// The path of a private helper program or module; when it is missing the
// path is still the expected one, so the caller reports it missing.
std::filesystem::path bundledHelper(const std::string& name);

// The same choices for an executable in `folder` (tests use these).
std::filesystem::path resourcesFolderFor(const std::filesystem::path& folder);
std::filesystem::path bundledHelperFor(const std::filesystem::path& folder, const std::string& name);

}
