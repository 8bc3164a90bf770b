#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace korvid {

// Reads from `fd` until end of file or until `limit` bytes have come back.
// A failed read leaves its errno in `error` (0 otherwise).
std::string readUpTo(int fd, std::size_t limit, int& error);
// The same into `bytes`, whose storage is reused across calls.
void readUpTo(int fd, std::size_t limit, std::string& bytes, int& error);

// The whole file, or none when no entry of that name exists. Any other
// failure (a folder of that name, no permission) throws DesktopError naming
// the file.
std::optional<std::string> readFileIfExists(const std::filesystem::path& file);
// The same for a name inside an open folder, which spares the kernel walking
// the whole path again for each of many files.
// Returns false when no entry of that name exists.
bool readFileIfExistsAt(int folder, const std::string& name, std::string& bytes);
// The same into the first `length` bytes of `buffer`, which keeps its size
// as room for the next file (for reading many files in turn).
bool readFileIfExistsAt(int folder, const std::string& name, std::string& buffer, std::size_t& length);

}
