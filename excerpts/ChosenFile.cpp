#include "excerpts/ChosenFile.h"

#include "base/DesktopError.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvid::ChosenFile {

namespace {

// A failed system call on the chosen file, as one sentence.
[[noreturn]] void throwFileError(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        throw DesktopError("找不到所选的文件，请重新选择。");
    case EACCES:
    case EPERM:
        throw DesktopError("没有读取所选文件的权限。");
    case ENOMEM:
        throw DesktopError("内存不足，无法读取所选文件。");
    default:
        throw DesktopError("无法读取所选的文件，请重新选择。");
    }
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            ::close(fd_); // a failure to close a read-only file changes nothing
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}

std::uint64_t checkedSize(const std::filesystem::path& path, std::uint64_t limit)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        throwFileError(errno);
    if (!S_ISREG(info.st_mode) || info.st_size <= 0 || static_cast<std::uint64_t>(info.st_size) > limit)
        throw DesktopError("请选择 15 MiB 以内的活动资料。");
    return static_cast<std::uint64_t>(info.st_size);
}

Bytes read(const std::filesystem::path& path, std::uint64_t size)
{
    // Non-blocking, so that a file swapped for a pipe after the check cannot
    // stall the read.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0)
        throwFileError(errno);

    // One byte more than the size checked: a file that grew shows itself.
    std::size_t capacity = static_cast<std::size_t>(size) + 1;
    Bytes bytes { std::unique_ptr<char[]>(new char[capacity]), 0 };
    while (bytes.size < capacity) {
        ssize_t got = ::read(file.get(), bytes.data.get() + bytes.size, capacity - bytes.size);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                break; // a pipe with nothing in it: what came is all there is
            throwFileError(errno);
        }
        if (got == 0)
            break;
        bytes.size += static_cast<std::size_t>(got);
    }
    if (bytes.size == 0 || bytes.size != size)
        throw DesktopError("文件已变化，请重新选择。");
    return bytes;
}

}
