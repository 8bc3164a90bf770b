#include "excerpts/ChosenFile.h"

#include "base/DesktopError.h"
#include "base/PickedFile.h"

#include <cerrno>

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

}

std::uint64_t checkedSize(const std::filesystem::path& path, std::uint64_t limit)
{
    std::uint64_t size = 0;
    try {
        size = pickedFileSize(path, limit);
    } catch (const PickedFileError& failure) {
        if (failure.step != PickedFileError::Step::notAllowed)
            throwFileError(failure.error);
    }
    if (size == 0)
        throw DesktopError("请选择 15 MiB 以内的活动资料。");
    return size;
}

std::string read(const std::filesystem::path& path, std::uint64_t size)
{
    std::string bytes;
    try {
        // One byte more than the size checked: a file that grew shows itself.
        bytes = readPickedFile(path, static_cast<std::size_t>(size) + 1).bytes;
    } catch (const PickedFileError& failure) {
        if (failure.step == PickedFileError::Step::notAllowed)
            throw DesktopError("文件已变化，请重新选择。");
        throwFileError(failure.error);
    }
    if (bytes.empty() || bytes.size() != size)
        throw DesktopError("文件已变化，请重新选择。");
    return bytes;
}

}
