#pragma once

#include "tasks/UniqueFd.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace korvid {

// A reference to a picked file that finds it again later: opaque, versioned
// bytes holding the absolute path and the file's identity (device and inode).
// Identity is what makes a bookmark stale: a file edited in place keeps its
// inode and still resolves, so the digest check can say it changed; a file
// deleted, moved away or replaced by another file at the same path does not.
class Bookmark {
public:
    // Throws DesktopError when the file cannot be examined.
    static std::string create(const std::filesystem::path& file);
    // For a file already open: the identity of what was read, so the
    // bookmark cannot name a file swapped in after the read.
    static std::string create(const std::filesystem::path& file, std::uint64_t device, std::uint64_t inode);

    // The file opened for reading, or none when the bookmark is unreadable or
    // no longer resolves to the same readable regular file.
    static std::optional<UniqueFd> open(std::string_view bookmark);

    // The path the bookmark points at, or none for bytes of another format.
    static std::optional<std::filesystem::path> path(std::string_view bookmark);
};

}
