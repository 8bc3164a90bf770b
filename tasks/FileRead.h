#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace korvid {

// Reads from `fd` until end of file or until `limit` bytes have come back.
// Returns the errno of a failed read as a negative value in `error`.
std::string readUpTo(int fd, std::size_t limit, int& error);

// The whole file, or none when no entry of that name exists. Any other
// failure (a folder of that name, no permission) throws DesktopError naming
// the file.
std::optional<std::string> readFileIfExists(const std::filesystem::path& file);
// The same for a name inside an open folder, which spares the kernel walking
// the whole path again for each of many files.
std::optional<std::string> readFileIfExistsAt(int folder, const std::string& name);

}
