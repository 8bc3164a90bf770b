#include "base/Bundle.h"

#include <cstdlib>
#include <system_error>

// Set by the build from the install folders; relative to the program's folder.
#ifndef KORVID_VERSION
#define KORVID_VERSION "0"
#endif
#ifndef KORVID_INSTALLED_DATA
#define KORVID_INSTALLED_DATA "../share/korvid-desktop"
#endif
#ifndef KORVID_INSTALLED_HELPERS
#define KORVID_INSTALLED_HELPERS "../libexec/korvid-desktop"
#endif

namespace korvid {

namespace {

// The build folder keeps resources/ beside the programs; an install never does.
bool buildLayout(const std::filesystem::path& folder)
{
    std::error_code error;
    return std::filesystem::is_directory(folder / "resources", error);
}

}

const char* applicationVersion()
{
    return KORVID_VERSION;
}

std::string serviceOrigin()
{
    const char* configured = std::getenv("KORVID_ORIGIN");
    if (configured && *configured) {
        std::string origin = configured;
        while (!origin.empty() && origin.back() == '/')
            origin.pop_back();
        return origin;
    }
    return kDefaultOrigin;
}

std::filesystem::path executableFolder()
{
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return std::filesystem::current_path(error);
    return self.parent_path();
}

std::filesystem::path resourcesFolderFor(const std::filesystem::path& folder)
{
    if (buildLayout(folder))
        return folder / "resources";
    return (folder / KORVID_INSTALLED_DATA).lexically_normal();
}

std::filesystem::path bundledHelperFor(const std::filesystem::path& folder, const std::string& name)
{
    if (buildLayout(folder)) {
        // cua-driver is built into resources/, the reader modules beside the programs.
        std::error_code error;
        auto inResources = folder / "resources" / name;
        return std::filesystem::exists(inResources, error) ? inResources : folder / name;
    }
    return (folder / KORVID_INSTALLED_HELPERS / name).lexically_normal();
}

std::filesystem::path resourcesFolder()
{
    return resourcesFolderFor(executableFolder());
}

std::filesystem::path bundledHelper(const std::string& name)
{
    return bundledHelperFor(executableFolder(), name);
}

}
