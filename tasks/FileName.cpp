#include "tasks/FileName.h"

#include "base/Text.h"

#include <algorithm>

namespace korvid {

std::string fileDisplayName(const std::filesystem::path& file)
{
    return repairUtf8(file.filename().string());
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
