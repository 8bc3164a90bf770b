#include "tasks/OwnerFolder.h"

#include "base/DesktopError.h"
#include "base/AtomicFile.h"
#include "base/FileError.h"
#include "tasks/FileRead.h"
#include "tasks/StoreCoding.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvid {

namespace {

// mkdir -p where every folder created gets 0700; existing folders are taken
// as they are.
void makeFolders(const std::filesystem::path& folder)
{
    if (::mkdir(folder.c_str(), 0700) == 0)
        return;
    int error = errno;
    if (error == ENOENT && folder.has_parent_path() && folder.parent_path() != folder) {
        makeFolders(folder.parent_path());
        if (::mkdir(folder.c_str(), 0700) == 0)
            return;
        error = errno;
    }
    if (error == EEXIST) {
        struct stat info { };
        if (::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            return;
        error = ENOTDIR;
    }
    throwFileError("创建工作区文件夹「" + folder.filename().string() + "」", error);
}

// A writer killed between writing its temporary file and renaming it leaves
// the file behind. Under the lock no writer of ours is at work, so every
// regular file named exactly as our temporary files of the store's own files
// are is such a leftover. Nothing else is touched; failures change nothing
// for the caller, the next lock tries again.
void removeStaleTemporaryFiles(const std::filesystem::path& folder)
{
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(folder.c_str()), ::closedir);
    if (!listing)
        return;
    std::vector<std::string> stale;
    for (;;) {
        const dirent* entry = ::readdir(listing.get());
        if (!entry)
            break;
        auto target = AtomicFile::temporaryTarget(entry->d_name);
        if (target && (*target == "projects.json" || OwnerFolder::isTaskFileName(*target)))
            stale.emplace_back(entry->d_name);
    }
    for (const std::string& name : stale) {
        struct stat info { };
        if (::fstatat(::dirfd(listing.get()), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode))
            ::unlinkat(::dirfd(listing.get()), name.c_str(), 0);
    }
}

}

OwnerFolder OwnerFolder::open(const std::filesystem::path& root, const std::string& owner)
{
    std::filesystem::path path = root / TaskWorkspace::ownerKey(owner);
    makeFolders(path);

    UniqueFd lock(::open((path / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock)
        throw DesktopError("工作区暂时不可写，请检查磁盘空间及权限。");
    int result;
    do {
        result = ::flock(lock.get(), LOCK_EX);
    } while (result != 0 && errno == EINTR);
    if (result != 0)
        throw DesktopError("暂时无法访问工作区。"); // `lock` closes the file
    removeStaleTemporaryFiles(path);
    return OwnerFolder(std::move(path), std::move(lock));
}

OwnerFolder::~OwnerFolder()
{
    if (lock_)
        ::flock(lock_.get(), LOCK_UN);
}

std::vector<OwnerFolder::Project> OwnerFolder::readProjects() const
{
    auto bytes = readFileIfExists(path_ / "projects.json");
    if (!bytes)
        return {};
    return StoreCoding::decodeProjects(*bytes, "projects.json");
}

std::optional<OwnerFolder::Record> OwnerFolder::readTask(const std::string& id) const
{
    std::string name = taskFileName(id);
    auto bytes = readFileIfExists(path_ / name);
    if (!bytes)
        return std::nullopt;
    return StoreCoding::decodeRecord(*bytes, name);
}

bool OwnerFolder::isTaskFileName(std::string_view name)
{
    return name.starts_with("task-") && name.ends_with(".json");
}

std::vector<OwnerFolder::Record> OwnerFolder::listTasks() const
{
    std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(path_.c_str()), ::closedir);
    if (!folder)
        throwFileError("列出工作区文件", errno);
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(folder.get());
        if (!entry) {
            if (errno != 0)
                throwFileError("列出工作区文件", errno);
            break;
        }
        if (isTaskFileName(entry->d_name))
            names.emplace_back(entry->d_name);
    }

    std::vector<Record> records;
    records.reserve(names.size());
    std::string buffer;
    std::size_t length = 0;
    for (const auto& name : names) {
        // A file that vanished since the listing was removed by hand: the
        // store itself never deletes one, and holds the lock.
        if (!readFileIfExistsAt(::dirfd(folder.get()), name, buffer, length))
            throwFileError("读取「" + name + "」", ENOENT);
        records.push_back(StoreCoding::decodeRecord(std::string_view(buffer.data(), length), name, false));
    }
    return records;
}

void OwnerFolder::writeProjects(const std::vector<Project>& projects) const
{
    AtomicFile::write(path_ / "projects.json", StoreCoding::encodeProjects(projects));
}

void OwnerFolder::writeTask(const Record& record) const
{
    AtomicFile::write(path_ / taskFileName(record.id), StoreCoding::encodeRecord(record));
}

}
