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

    // The task workspace: one operation for one account. Runs on the task
    // queue; gets copies of everything.
    std::function<Json(const std::string& op, const std::string& owner, const Json& payload,
        const std::vector<std::filesystem::path>& files)>
        workspaceHandle;
    // The file chooser for task attachments and minutes (several files;
    // cancelling gives none); main thread.
    std::function<void(std::function<void(FileChoice)>)> selectTaskFiles;
    // A minutes file's execution text; runs on the background pool.
    std::function<std::string(const std::filesystem::path&)> readMeetingFile;

    // One workspace operation on the task queue, resuming on the bridge.
    Task<Json> runWorkspace(std::string op, std::string owner, Json payload, std::vector<std::filesystem::path> files);

private:
    Task<Json> workspace(std::shared_ptr<BridgeCall> call);
    Task<Json> attach(std::shared_ptr<BridgeCall> call);
    Task<Json> meetingFile(std::shared_ptr<BridgeCall> call);

    Bridge& bridge_;
    std::unique_ptr<SerialQueue> taskIO_;
};

}
