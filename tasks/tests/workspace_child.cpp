// A second process working on a task workspace, for the tests that need real
// concurrency between processes and a real SIGKILL.
//
//   workspace_child call <root> <owner> <op> <payload-json>
//       one call; prints the reply, exits 1 with the message on failure
//   workspace_child append <root> <owner> <id> <count> <letter>
//       <count> times: read the task, save it with <letter> appended to its
//       body at the revision it read; retries after a conflict
//   workspace_child churn <root> <owner>
//       writes tasks and projects until killed; prints "ready" after the
//       first write

#include "base/DesktopError.h"
#include "base/Uuid.h"
#include "tasks/TaskWorkspace.h"
#include "tasks/tests/TestSupport.h"

#include <cstdio>
#include <iostream>
#include <string>

using korvid::Json;
using korvid::TaskWorkspace;

namespace {

Json readTask(const TaskWorkspace& workspace, const std::string& owner, const std::string& id)
{
    Json list = workspace.open(owner);
    for (const auto& record : list["records"])
        if (record["id"] == id)
            return record;
    return nullptr;
}

int append(const TaskWorkspace& workspace, const std::string& owner, const std::string& id, int count,
    const std::string& letter)
{
    int conflicts = 0;
    for (int done = 0; done < count;) {
        Json record = readTask(workspace, owner, id);
        std::int64_t revision = record.is_null() ? 0 : record["revision"].get<std::int64_t>();
        std::string body = record.is_null() ? "" : record["body"].get<std::string>();
        Json payload { { "id", id }, { "revision", revision }, { "title", "t" }, { "body", body + letter },
            { "skill", "" }, { "project", "" } };
        try {
            workspace.save(owner, payload);
            ++done;
        } catch (const korvid::DesktopError& error) {
            if (error.message != "此任务已在其他窗口更改，请重新打开任务列表。")
                throw;
            ++conflicts;
        }
    }
    std::cout << conflicts << std::endl;
    return 0;
}

int churn(const TaskWorkspace& workspace, const std::string& owner)
{
    std::string ids[4];
    std::int64_t revisions[4] = {};
    for (auto& id : ids)
        id = korvid::Uuid::random().string();
    // Bodies of different lengths, so a torn write would show as bad JSON.
    for (long round = 0;; ++round) {
        for (int k = 0; k < 4; ++k) {
            Json payload { { "id", ids[k] }, { "revision", revisions[k] }, { "title", "churn" },
                { "body", std::string(static_cast<std::size_t>((round * 37 + k * 11) % 1100), 'x') }, { "skill", "" },
                { "project", "" } };
            workspace.save(owner, payload);
            ++revisions[k];
        }
        workspace.createProject(
            owner, Json { { "id", korvid::Uuid::random().string() }, { "name", "项目 " + std::to_string(round) } });
        if (round == 0)
            std::cout << "ready" << std::endl;
    }
}

}

int main(int argc, char** argv)
{
    if (argc < 4)
        return 2;
    std::string mode = argv[1];
    TaskWorkspace workspace(argv[2]);
    std::string owner = argv[3];
    try {
        if (mode == "call" && argc == 6) {
            std::cout << korvid::testing::callEntry(workspace, argv[4], owner, Json::parse(argv[5])).dump()
                      << std::endl;
            return 0;
        }
        if (mode == "append" && argc == 7)
            return append(workspace, owner, argv[4], std::stoi(argv[5]), argv[6]);
        if (mode == "churn")
            return churn(workspace, owner);
    } catch (const korvid::DesktopError& error) {
        std::cerr << error.message << std::endl;
        return 1;
    }
    return 2;
}
