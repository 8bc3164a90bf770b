#pragma once

#include "tasks/TaskWorkspace.h"
#include "base/UniqueFd.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace korvid {

// One account's folder, held under its exclusive lock for the lifetime of
// this object. Opening creates the folder (0700) and the lock file (0600)
// when missing and waits for other holders of the lock, in this process or
// another; destruction unlocks and closes on every way out.
class OwnerFolder {
public:
    using Project = TaskWorkspace::Project;
    using Record = TaskWorkspace::Record;

    static OwnerFolder open(const std::filesystem::path& root, const std::string& owner);
    ~OwnerFolder();
    OwnerFolder(OwnerFolder&&) = default;
    OwnerFolder& operator=(OwnerFolder&&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // The projects in file order; none when "projects.json" does not exist.
    std::vector<Project> readProjects() const;
    // The task with this lower-case id, or none when it has no file.
    std::optional<Record> readTask(const std::string& id) const;
    // Every task file of the folder, decoded, in the order the folder
    // listing returned them. One bad file fails the whole listing. The
    // records are for showing: their stored excerpts are left empty.
    std::vector<Record> listTasks() const;

    void writeProjects(const std::vector<Project>& projects) const;
    void writeTask(const Record& record) const;

    static std::string taskFileName(const std::string& id) { return "task-" + id + ".json"; }
    static bool isTaskFileName(std::string_view name);

private:
    OwnerFolder(std::filesystem::path path, UniqueFd lock)
        : path_(std::move(path))
        , lock_(std::move(lock))
    {
    }

    std::filesystem::path path_;
    UniqueFd lock_;
};

}
