#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// Reading a file the user picked for an inspection: its size is checked first,
// then it is read whole and compared with that size.
namespace korvid::ChosenFile {

// The size of the regular file at `path`. Throws DesktopError
// "请选择 15 MiB 以内的活动资料。" when it is not a regular file or its size is
// 0 or above `limit`, and a Chinese sentence when it cannot be examined.
std::uint64_t checkedSize(const std::filesystem::path& path, std::uint64_t limit);

// Reads the file whole, expecting `size` bytes. Throws DesktopError
// "文件已变化，请重新选择。" when nothing or another number of bytes came back.
std::string read(const std::filesystem::path& path, std::uint64_t size);

}
