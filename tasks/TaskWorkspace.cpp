#include "tasks/TaskWorkspace.h"

#include "base/Bundle.h"
#include "base/DesktopError.h"
#include "base/Digest.h"
#include "base/Iso8601.h"
#include "base/Text.h"
#include "base/Uuid.h"
#include "tasks/OwnerFolder.h"
#include "tasks/StoreCoding.h"

#include <algorithm>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace korvid {

TaskWorkspace::TaskWorkspace(std::filesystem::path root)
    : root_(std::move(root))
{
}

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
        if (!home || !home[0]) {
            const passwd* account = ::getpwuid(::getuid());
            home = account && account->pw_dir ? account->pw_dir : "/";
        }
        dataHome = std::filesystem::path(home) / ".local" / "share";
    }
    return dataHome / (storeIdentifier(kBundleIdentifier) + "/TaskWorkspace");
}

std::string TaskWorkspace::ownerKey(const std::string& owner)
{
    return sha256Hex(owner);
}

Json TaskWorkspace::display(const Record& record)
{
    return display(Record(record));
}

Json TaskWorkspace::display(Record&& record)
{
    Json view = Json::object();
    view.get_ref<Json::object_t&>().reserve(10);
    view["id"] = std::move(record.id);
    view["title"] = std::move(record.title);
    view["body"] = std::move(record.body);
    view["project"] = std::move(record.project);
    view["skill"] = std::move(record.skill);
    view["revision"] = record.revision;
    view["confirmed"] = record.confirmed;
    view["updatedAt"] = formatIso8601(record.updatedAt + kReferenceDateOffset);
    Json files = Json::array();
    files.get_ref<Json::array_t&>().reserve(record.attachments.size());
    for (auto& attachment : record.attachments) {
        Json file = Json::object();
        file.get_ref<Json::object_t&>().reserve(3);
        file["name"] = std::move(attachment.name);
        file["digest"] = std::move(attachment.digest);
        file["method"] = attachment.method ? std::move(*attachment.method) : std::string("原文");
        files.push_back(std::move(file));
    }
    view["files"] = std::move(files);
    if (record.minute)
        view["minute"] = Json { { "id", std::move(record.minute->id) }, { "digest", std::move(record.minute->digest) },
            { "title", std::move(record.minute->title) } };
    return view;
}

std::string TaskWorkspace::recordID(const Json& payload)
{
    auto id = canonicalUuid(stringAt(payload, "id").value_or(""));
    if (!id)
        throw DesktopError("记录标识失效，请重新打开工作区。");
    return *id;
}

Json TaskWorkspace::open(const std::string& owner) const
{
    OwnerFolder folder = OwnerFolder::open(root_, owner);
    const std::vector<Project> projects = folder.readProjects();
    std::vector<Record> records = folder.listTasks();
    // Newest first; equal times keep the folder listing's order.
    std::vector<std::size_t> order(records.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
        [&](std::size_t a, std::size_t b) { return records[a].updatedAt > records[b].updatedAt; });
    Json projectList = Json::array();
    for (const auto& project : projects)
        projectList.push_back(StoreCoding::projectObject(project));
    Json views = Json::array();
    views.get_ref<Json::array_t&>().reserve(records.size());
    for (std::size_t index : order)
        views.push_back(display(std::move(records[index])));
    return Json { { "projects", std::move(projectList) }, { "records", std::move(views) } };
}

Json TaskWorkspace::createProject(const std::string& owner, const Json& payload) const
{
    OwnerFolder folder = OwnerFolder::open(root_, owner);
    const std::vector<Project> projects = folder.readProjects();
    const std::string id = recordID(payload);
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

    auto existing
        = std::find_if(projects.begin(), projects.end(), [&](const Project& p) { return p.id == project.id; });
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
