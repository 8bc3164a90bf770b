#pragma once

#include "base/UniqueFd.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace korvid {

// A reference to a picked file that finds it again later: opaque, versioned
// bytes holding the absolute path and the file's identity (device and inode)
// when it was picked. A bookmark resolves to the regular file at its path: the
// file edited in place, or a new file an editor saved and renamed over it, so
// that the digest check can say whether it changed. It is stale when nothing
// readable stands there: the file deleted or moved away, or something that
// is not a regular file put in its place.
class Bookmark {
public:
    // Throws DesktopError when the file cannot be examined.
    static std::string create(const std::filesystem::path& file);
    // For a file already open: records the identity of what was read rather
    // than of whatever the path names by now. Resolution goes by the path;
    // the identity stays in the bytes so that bookmarks keep one format.
    static std::string create(const std::filesystem::path& file, std::uint64_t device, std::uint64_t inode);

    // The file opened for reading, or none when the bookmark is unreadable or
    // no readable regular file stands at its path.
    static std::optional<UniqueFd> open(std::string_view bookmark);

    // The path the bookmark points at, or none for bytes of another format.
    static std::optional<std::filesystem::path> path(std::string_view bookmark);
};

}
