#include "tasks/FileRead.h"

#include "tasks/FileError.h"
#include "tasks/UniqueFd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvid {

std::string readUpTo(int fd, std::size_t limit, int& error)
{
    error = 0;
    std::string bytes;
    struct stat info {};
    // The size is only a hint for the first allocation; the file may change
    // while it is read.
    std::size_t expected = 64 * 1024;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0)
        expected = static_cast<std::size_t>(info.st_size) + 1;
    bytes.resize(std::min(limit, expected));
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
    return bytes;
}

namespace {

std::optional<std::string> readOpened(UniqueFd fd, const std::string& name)
{
    const std::string action = "读取「" + name + "」";
    if (!fd) {
        if (errno == ENOENT)
            return std::nullopt;
        throwFileError(action, errno);
    }
    int error = 0;
    std::string bytes = readUpTo(fd.get(), SIZE_MAX - 1, error);
    if (error != 0)
        throwFileError(action, error);
    return bytes;
}

}

std::optional<std::string> readFileIfExists(const std::filesystem::path& file)
{
    return readOpened(UniqueFd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)), file.filename().string());
}

std::optional<std::string> readFileIfExistsAt(int folder, const std::string& name)
{
    return readOpened(UniqueFd(::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)), name);
}

}
