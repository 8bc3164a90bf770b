#include "base/AtomicFile.h"

#include "base/Uuid.h"
#include "base/FileError.h"
#include "base/UniqueFd.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvid {

namespace {

std::atomic<std::uint64_t> flushTotal { 0 };

int timedFsync(int fd)
{
    auto start = std::chrono::steady_clock::now();
    int result;
    do {
        result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    int saved = errno;
    auto spent = std::chrono::steady_clock::now() - start;
    flushTotal += static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count());
    errno = saved;
    return result;
}

// Removes the temporary file unless the rename took it over.
struct TemporaryName {
    std::filesystem::path path;
    bool armed = true;
    ~TemporaryName()
    {
        if (armed)
            ::unlink(path.c_str());
    }
};

constexpr std::string_view kTemporaryMark = ".tmp-";

std::string temporaryName(const std::string& target)
{
    return "." + target + std::string(kTemporaryMark) + Uuid::random().string();
}

bool isLowerCaseUuid(std::string_view text)
{
    if (text.size() != 36)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

}

std::optional<std::string_view> AtomicFile::temporaryTarget(std::string_view name)
{
    constexpr std::size_t uuidLength = 36;
    if (name.size() < 1 + 1 + kTemporaryMark.size() + uuidLength || name.front() != '.')
        return std::nullopt;
    std::string_view uuid = name.substr(name.size() - uuidLength);
    std::string_view rest = name.substr(1, name.size() - 1 - uuidLength);
    if (!isLowerCaseUuid(uuid) || !rest.ends_with(kTemporaryMark))
        return std::nullopt;
    return rest.substr(0, rest.size() - kTemporaryMark.size());
}

void AtomicFile::write(const std::filesystem::path& target, std::string_view bytes)
{
    const std::string action = "保存「" + target.filename().string() + "」";
    // A leading dot keeps the temporary file out of every listing of task
    // files, even when a crash leaves it behind.
    TemporaryName temporary { target.parent_path() / temporaryName(target.filename().string()) };

    UniqueFd fd(::open(temporary.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) {
        temporary.armed = false;
        throwFileError(action, errno);
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t put = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            throwFileError(action, errno);
        }
        written += static_cast<std::size_t>(put);
    }
    if (timedFsync(fd.get()) != 0)
        throwFileError(action, errno);
    if (fd.close() != 0)
        throwFileError(action, errno);
    if (::rename(temporary.path.c_str(), target.c_str()) != 0)
        throwFileError(action, errno);
    temporary.armed = false;

    // The rename is what makes the new content durable as a name; flush the
    // folder too. Every reader already sees the new file at this point, so a
    // failure here is not reported as a failed save.
    UniqueFd folder(::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder)
        timedFsync(folder.get());
}

std::uint64_t AtomicFile::flushNanoseconds()
{
    return flushTotal.load();
}

}
