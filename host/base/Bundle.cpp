#include "host/base/Bundle.h"

#include <cstdlib>
#include <system_error>

namespace korvid {

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

std::filesystem::path resourcesFolder()
{
    return executableFolder() / "resources";
}

}
