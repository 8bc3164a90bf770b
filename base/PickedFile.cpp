#include "base/PickedFile.h"

#include "base/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvid {

std::uint64_t pickedFileSize(const std::filesystem::path& path, std::uint64_t limit)
{
    struct stat info { };
    if (::stat(path.c_str(), &info) != 0)
        throw PickedFileError(PickedFileError::Step::examine, errno);
    if (!S_ISREG(info.st_mode) || info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > limit)
        throw PickedFileError(PickedFileError::Step::notAllowed, 0);
    return static_cast<std::uint64_t>(info.st_size);
}

PickedFile readPickedFile(const std::filesystem::path& path, std::size_t cap)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        throw PickedFileError(PickedFileError::Step::open, errno);
    PickedFile file;
    struct stat opened { };
    if (::fstat(fd.get(), &opened) != 0)
        throw PickedFileError(PickedFileError::Step::read, errno);
    // A file swapped for something else after its size was checked (a pipe,
    // a device) is refused rather than read.
    if (!S_ISREG(opened.st_mode))
        throw PickedFileError(PickedFileError::Step::notAllowed, 0);
    file.device = static_cast<std::uint64_t>(opened.st_dev);
    file.inode = static_cast<std::uint64_t>(opened.st_ino);

    // The size is only a hint for the first allocation; the file may change
    // while it is read, and no read goes past `cap`.
    file.bytes.resize(std::min(cap, static_cast<std::size_t>(std::max<off_t>(opened.st_size, 0)) + 1));
    std::size_t used = 0;
    while (used < cap) {
        if (used == file.bytes.size())
            file.bytes.resize(std::min(cap, file.bytes.size() * 2 + 4096));
        ssize_t got = ::read(fd.get(), file.bytes.data() + used, file.bytes.size() - used);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw PickedFileError(PickedFileError::Step::read, errno);
        }
        if (got == 0)
            break;
        used += static_cast<std::size_t>(got);
    }
    file.bytes.resize(used);
    return file;
}

}
