#include "tasks/FileName.h"

#include "base/Json.h"
#include "base/Text.h"

#include <algorithm>

namespace korvid {

std::string fileDisplayName(const std::filesystem::path& file)
{
    std::string name = file.filename().string();
    if (isValidUtf8(name))
        return name;
    // Serialising with replacement turns every invalid sequence into U+FFFD.
    return Json::parse(Json(name).dump(-1, ' ', false, Json::error_handler_t::replace)).get<std::string>();
}

std::string lowerExtension(const std::filesystem::path& file)
{
    std::string extension = file.filename().extension().string();
    if (!extension.empty())
        extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c); });
    return extension;
}

}
