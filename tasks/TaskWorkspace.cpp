#include "tasks/TaskWorkspace.h"

#include "host/base/Bundle.h"
#include "host/base/DesktopError.h"
#include "host/base/Digest.h"
#include "host/base/Iso8601.h"
#include "host/base/Text.h"
#include "host/base/Uuid.h"
#include "tasks/OwnerFolder.h"
#include "tasks/StoreCoding.h"

#include <algorithm>
#include <cstdlib>

namespace korvid {

TaskWorkspace::TaskWorkspace(std::filesystem::path root) : root_(std::move(root)) {}

std::string TaskWorkspace::storeIdentifier(const std::string& bundleIdentifier)
{
    if (bundleIdentifier.empty() || bundleIdentifier == "com.vantorel.desktop")
        return "com.vantorel.desktop.dev";
    return bundleIdentifier;
}

std::filesystem::path TaskWorkspace::defaultRoot()
{
    std::filesystem::path dataHome;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') {
        dataHome = xdg;
    } else {
        const char* home = std::getenv("HOME");
        dataHome = std::filesystem::path(home && home[0] ? home : "/") / ".local" / "share";
    }
    return dataHome / (storeIdentifier(kBundleIdentifier) + "/TaskWorkspace");
}

std::string TaskWorkspace::ownerKey(const std::string& owner)
{
    return sha256Hex(owner);
}

Json TaskWorkspace::display(const Record& record)
{
    Json view = Json::object();
    view["id"] = record.id;
    view["title"] = record.title;
    view["body"] = record.body;
    view["project"] = record.project;
    view["skill"] = record.skill;
    view["revision"] = record.revision;
    view["confirmed"] = record.confirmed;
    view["updatedAt"] = formatIso8601(record.updatedAt + kReferenceDateOffset);
    Json files = Json::array();
    for (const auto& attachment : record.attachments)
        files.push_back(Json { { "name", attachment.name }, { "digest", attachment.digest },
                               { "method", attachment.method.value_or("原文") } });
    view["files"] = std::move(files);
    if (record.minute)
        view["minute"] = Json { { "id", record.minute->id }, { "digest", record.minute->digest },
                                { "title", record.minute->title } };
    return view;
}

Json TaskWorkspace::handle(const std::string& op, const std::string& owner, const Json& payload,
                           const std::vector<std::filesystem::path>& selectedFiles) const
{
    OwnerFolder folder = OwnerFolder::open(root_, owner);
    const std::vector<Project> projects = folder.readProjects();

    if (op == "workspaceOpen") {
        std::vector<Record> records = folder.listTasks();
        std::stable_sort(records.begin(), records.end(),
                         [](const Record& a, const Record& b) { return a.updatedAt > b.updatedAt; });
        Json projectList = Json::array();
        for (const auto& project : projects)
            projectList.push_back(StoreCoding::projectObject(project));
        Json views = Json::array();
        for (const auto& record : records)
            views.push_back(display(record));
        return Json { { "projects", std::move(projectList) }, { "records", std::move(views) } };
    }

    auto id = canonicalUuid(stringAt(payload, "id").value_or(""));
    if (!id)
        throw DesktopError("记录标识失效，请重新打开工作区。");
    if (op == "projectCreate")
        return createProject(folder, projects, *id, payload);
    return recordOperation(folder, projects, op, *id, payload, selectedFiles);
}

Json TaskWorkspace::createProject(OwnerFolder& folder, const std::vector<Project>& projects,
                                  const std::string& id, const Json& payload) const
{
    auto givenName = stringAt(payload, "name");
    if (!givenName)
        throw DesktopError("请填写项目名称。");
    std::string name = trimWhitespace(*givenName);
    if (name.empty() || utf16Length(name) > 80)
        throw DesktopError("项目名称限 1 至 80 个字符。");
    std::string goal = trimWhitespace(stringAt(payload, "goal").value_or(""));
    std::string companyId = stringAt(payload, "companyId").value_or("");
    if (utf16Length(goal) > 500 || utf16Length(companyId) > 160)
        throw DesktopError("项目目标或客户标识过长。");

    Project project { "project-" + id, std::move(name), std::nullopt, std::nullopt };
    if (!goal.empty())
        project.goal = std::move(goal);
    if (!companyId.empty())
        project.companyId = std::move(companyId);

    auto existing = std::find_if(projects.begin(), projects.end(),
                                 [&](const Project& p) { return p.id == project.id; });
    if (existing != projects.end()) {
        if (*existing == project)
            return StoreCoding::projectObject(*existing);
        throw DesktopError("项目已变更，请重新打开。");
    }
    std::vector<Project> updated = projects;
    updated.push_back(project);
    folder.writeProjects(updated);
    return StoreCoding::projectObject(project);
}

}
