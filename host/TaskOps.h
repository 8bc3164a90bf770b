#pragma once

#include "host/Bridge.h"
#include "host/FileChoice.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvid {

// The page's operations on the local task workspace (projects, drafts,
// attachments, confirmation) and on minutes files. The workspace runs on its
// own queue, one operation at a time, never on the main thread.
class TaskOps {
public:
    explicit TaskOps(Bridge& bridge);
    ~TaskOps();

    // The task workspace, one function per operation for one account. Each
    // runs on the task queue, never on the main thread, and gets copies of
    // everything; while one is unset, its operation replies a Chinese error.
    struct Workspace {
        std::function<Json(const std::string& owner)> open;
        std::function<Json(const std::string& owner, const Json& payload)> createProject;
        std::function<Json(const std::string& owner, const Json& payload)> save;
        std::function<Json(
            const std::string& owner, const Json& payload, const std::vector<std::filesystem::path>& files)>
            attach;
        std::function<Json(const std::string& owner, const Json& payload)> confirm;
        std::function<Json(const std::string& owner, const Json& payload)> source;
        std::function<Json(const std::string& owner, const Json& payload)> startScope;
    };
    Workspace workspace;
    // The file chooser for task attachments and minutes (several files;
    // cancelling gives none); main thread.
    std::function<void(std::function<void(FileChoice)>)> selectTaskFiles;
    // A minutes file's execution text; runs on the background pool.
    std::function<std::string(const std::filesystem::path&)> readMeetingFile;

    // What a run of the account's confirmed task starts with, read on the
    // task queue; resumes on the bridge.
    Task<Json> startScope(std::string owner, Json payload);

private:
    Task<Json> open(std::shared_ptr<BridgeCall> call);
    Task<Json> createProject(std::shared_ptr<BridgeCall> call);
    Task<Json> save(std::shared_ptr<BridgeCall> call);
    Task<Json> confirm(std::shared_ptr<BridgeCall> call);
    Task<Json> source(std::shared_ptr<BridgeCall> call);
    Task<Json> attach(std::shared_ptr<BridgeCall> call);
    Task<Json> meetingFile(std::shared_ptr<BridgeCall> call);
    // Runs `work` on the task queue; `available` says whether its seam is set.
    Task<Json> onTaskQueue(bool available, std::function<Json()> work);

    Bridge& bridge_;
    std::unique_ptr<SerialQueue> taskIO_;
};

}
