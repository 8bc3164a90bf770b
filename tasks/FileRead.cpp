#include "tasks/FileRead.h"

#include "base/FileError.h"
#include "base/UniqueFd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvid {

std::string readUpTo(int fd, std::size_t limit, int& error)
{
    std::string bytes;
    readUpTo(fd, limit, bytes, error);
    return bytes;
}

void readUpTo(int fd, std::size_t limit, std::string& bytes, int& error)
{
    error = 0;
    struct stat info { };
    // The size is only a hint for the first allocation; the file may change
    // while it is read.
    std::size_t expected = 64 * 1024;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0)
        expected = static_cast<std::size_t>(info.st_size) + 1;
    // Never more room than `limit`, so no read goes past it.
    bytes.resize(std::min(limit, std::max(bytes.size(), expected)));
    std::size_t used = 0;
    while (used < limit) {
        if (used == bytes.size())
            bytes.resize(std::min(limit, bytes.size() * 2 + 4096));
        ssize_t got = ::read(fd, bytes.data() + used, bytes.size() - used);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        if (got == 0)
            break;
        used += static_cast<std::size_t>(got);
    }
    bytes.resize(used);
}

namespace {

bool readOpened(const UniqueFd& fd, const std::string& name, std::string& bytes)
{
    if (!fd) {
        if (errno == ENOENT)
            return false;
        throwFileError("读取「" + name + "」", errno);
    }
    int error = 0;
    readUpTo(fd.get(), SIZE_MAX - 1, bytes, error);
    if (error != 0)
        throwFileError("读取「" + name + "」", error);
    return true;
}

}

std::optional<std::string> readFileIfExists(const std::filesystem::path& file)
{
    std::string bytes;
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!readOpened(fd, file.filename().string(), bytes))
        return std::nullopt;
    return bytes;
}

bool readFileIfExistsAt(int folder, const std::string& name, std::string& bytes)
{
    UniqueFd fd(::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    return readOpened(fd, name, bytes);
}

bool readFileIfExistsAt(int folder, const std::string& name, std::string& buffer, std::size_t& length)
{
    UniqueFd fd(::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT)
            return false;
        throwFileError("读取「" + name + "」", errno);
    }
    struct stat info { };
    // Growing a string fills the new room with zeros; the buffer only ever
    // grows, so a run of files of similar size costs no filling at all.
    if (::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0
        && buffer.size() <= static_cast<std::size_t>(info.st_size))
        buffer.resize(static_cast<std::size_t>(info.st_size) + 1);
    if (buffer.empty())
        buffer.resize(64 * 1024);
    std::size_t used = 0;
    for (;;) {
        if (used == buffer.size())
            buffer.resize(buffer.size() * 2);
        ssize_t got = ::read(fd.get(), buffer.data() + used, buffer.size() - used);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throwFileError("读取「" + name + "」", errno);
        }
        if (got == 0)
            break;
        used += static_cast<std::size_t>(got);
    }
    length = used;
    return true;
}

}
