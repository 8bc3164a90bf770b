#include "tasks/Bookmark.h"

#include "base/FileError.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace korvid {

namespace {

// "KVBM", a format version, then device and inode (little-endian 64-bit),
// then the absolute path's bytes up to the end.
constexpr std::string_view kMagic = "KVBM";
constexpr char kVersion = 1;
constexpr std::size_t kHeaderSize = 4 + 1 + 8 + 8;

void putUint64(std::string& out, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out += static_cast<char>(value >> (8 * i) & 0xFF);
}

std::uint64_t getUint64(std::string_view in)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(in[i]);
    return value;
}

struct Parsed {
    std::uint64_t device;
    std::uint64_t inode;
    std::string path;
};

std::optional<Parsed> parse(std::string_view bookmark)
{
    if (bookmark.size() <= kHeaderSize || !bookmark.starts_with(kMagic) || bookmark[4] != kVersion)
        return std::nullopt;
    Parsed parsed { getUint64(bookmark.substr(5, 8)), getUint64(bookmark.substr(13, 8)),
        std::string(bookmark.substr(kHeaderSize)) };
    if (parsed.path.front() != '/' || parsed.path.find('\0') != std::string::npos)
        return std::nullopt;
    return parsed;
}

}

std::string Bookmark::create(const std::filesystem::path& file)
{
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(file, error);
    if (error)
        throwFileError("记录文件「" + file.filename().string() + "」的位置", error.value());
    struct stat info { };
    if (::stat(absolute.c_str(), &info) != 0)
        throwFileError("记录文件「" + file.filename().string() + "」的位置", errno);
    return create(absolute, static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino));
}

std::string Bookmark::create(const std::filesystem::path& file, std::uint64_t device, std::uint64_t inode)
{
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(file, error);
    if (error)
        throwFileError("记录文件「" + file.filename().string() + "」的位置", error.value());
    std::string bookmark(kMagic);
    bookmark += kVersion;
    putUint64(bookmark, device);
    putUint64(bookmark, inode);
    bookmark += absolute.lexically_normal().native();
    return bookmark;
}

std::optional<UniqueFd> Bookmark::open(std::string_view bookmark)
{
    auto parsed = parse(bookmark);
    if (!parsed)
        return std::nullopt;
    // Open first and examine what was opened, so nothing can be swapped in
    // between the check and the read. O_NONBLOCK keeps a FIFO placed at the
    // path from blocking the open.
    UniqueFd fd(::open(parsed->path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return std::nullopt;
    struct stat info { };
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    // The recorded identity is the file that was picked. When another regular
    // file stands at its path, it is most often the same document saved by
    // an editor that writes a new file and renames it over the old one; it is
    // what the user now has under that name, and the caller's digest check
    // tells whether its content is still what was confirmed.
    return fd;
}

std::optional<std::filesystem::path> Bookmark::path(std::string_view bookmark)
{
    auto parsed = parse(bookmark);
    if (!parsed)
        return std::nullopt;
    return std::filesystem::path(parsed->path);
}

}
