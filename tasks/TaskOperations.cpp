// The operations of TaskWorkspace on one record: drafts, attachments,
// confirmation, and reading a confirmed task back for a run.

#include "tasks/TaskWorkspace.h"

#include "base/DesktopError.h"
#include "base/Digest.h"
#include "base/Iso8601.h"
#include "base/Text.h"
#include "base/Uuid.h"
#include "tasks/FileName.h"
#include "tasks/OwnerFolder.h"

#include <algorithm>
#include <array>
#include <limits>

namespace korvid {

namespace {

using Attachment = TaskWorkspace::Attachment;
using MinuteRef = TaskWorkspace::MinuteRef;
using Project = TaskWorkspace::Project;
using Record = TaskWorkspace::Record;

constexpr std::array<std::string_view, 9> kSkills {
    "",
    "销售问答",
    "会议纪要整理",
    "行动项提取",
    "初筛企业与联系人",
    "关键人映射",
    "阶段证据核验",
    "合作试点测算",
    "项目周报",
};

const char* const kConflict = "此任务已在其他窗口更改，请重新打开任务列表。";
const char* const kDraftInvalid = "请核对所属项目、名称和交付说明。";

double nowReferenceSeconds()
{
    return nowUnixSeconds() - kReferenceDateOffset;
}

bool isLowerHexDigest(std::string_view text)
{
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    });
}

// A JSON object whose every value is a string, or none.
const Json* stringObjectAt(const Json& payload, const char* key)
{
    const Json* object = objectAt(payload, key);
    if (!object)
        return nullptr;
    for (const auto& item : object->items())
        if (!item.value().is_string())
            return nullptr;
    return object;
}

// Digests named by "fileIDs" when it is an array of strings; none otherwise,
// which keeps every stored attachment.
std::optional<std::vector<std::string>> fileIDsAt(const Json& payload)
{
    const Json* array = arrayAt(payload, "fileIDs");
    if (!array)
        return std::nullopt;
    std::vector<std::string> ids;
    for (const auto& item : *array) {
        if (!item.is_string())
            return std::nullopt;
        ids.push_back(item.get<std::string>());
    }
    return ids;
}

std::optional<MinuteRef> minuteFrom(const Json& payload)
{
    const Json* minute = stringObjectAt(payload, "minute");
    if (!minute)
        return std::nullopt;
    auto id = stringAt(*minute, "id");
    auto digest = stringAt(*minute, "digest");
    auto title = stringAt(*minute, "title");
    if (!id || !Uuid::parse(*id) || !digest || !isLowerHexDigest(*digest) || !title || title->empty()
        || utf16Length(*title) > 80)
        throw DesktopError("引用纪要失效。");
    return MinuteRef { *id, *digest, *title };
}

// The draft a "taskSave" or "taskAttach" would store.
Record draftFrom(const Json& payload, const std::string& id, std::int64_t revision, const std::optional<Record>& stored,
    const std::vector<Project>& projects)
{
    auto title = stringAt(payload, "title");
    auto body = stringAt(payload, "body");
    auto skill = stringAt(payload, "skill");
    auto project = stringAt(payload, "project");
    if (!title || utf16Length(*title) > 80 || !body || utf16Length(*body) > 1200 || !skill
        || std::find(kSkills.begin(), kSkills.end(), *skill) == kSkills.end() || !project
        || (!project->empty()
            && std::none_of(projects.begin(), projects.end(), [&](const Project& p) { return p.id == *project; })))
        throw DesktopError(kDraftInvalid);

    std::vector<Attachment> kept = stored ? stored->attachments : std::vector<Attachment> {};
    if (auto ids = fileIDsAt(payload)) {
        std::erase_if(kept, [&](const Attachment& attachment) {
            return std::find(ids->begin(), ids->end(), attachment.digest) == ids->end();
        });
    }

    Record draft;
    draft.id = id;
    draft.title = *title;
    draft.body = *body;
    draft.project = *project;
    draft.skill = *skill;
    draft.minute = minuteFrom(payload);
    draft.attachments = std::move(kept);
    draft.revision = revision + 1;
    draft.confirmed = false;
    draft.updatedAt = nowReferenceSeconds();
    return draft;
}

// The text before the first line break (the line breaks Unicode names:
// LF, VT, FF, CR, NEL, LS, PS).
std::string firstLine(const std::string& text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c >= 0x0A && c <= 0x0D)
            || (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85)
            || (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80
                && (static_cast<unsigned char>(text[i + 2]) == 0xA8
                    || static_cast<unsigned char>(text[i + 2]) == 0xA9)))
            return text.substr(0, i);
    }
    return text;
}

// The first 44 user-perceived characters; fewer when long clusters (emoji
// sequences) would take the title past the stored limit of 80 UTF-16 units.
std::string derivedTitle(const std::string& body)
{
    std::string line = firstLine(body);
    for (std::size_t count = 44; count > 0; --count) {
        std::string title = graphemePrefix(line, count);
        if (utf16Length(title) <= 80)
            return title;
    }
    return {};
}

}

struct TaskWorkspace::RecordCall {
    OwnerFolder folder;
    std::vector<Project> projects;
    std::string id;
    std::optional<Record> stored;
    std::int64_t revision = 0;

    // A draft may change only at the revision stored, and a confirmed task
    // not at all.
    void requireUnchanged() const
    {
        if ((!stored && revision != 0) || (stored && (stored->revision != revision || stored->confirmed)))
            throw DesktopError(kConflict);
    }
};

TaskWorkspace::RecordCall TaskWorkspace::openRecord(const std::string& owner, const Json& payload) const
{
    OwnerFolder folder = OwnerFolder::open(root_, owner);
    std::vector<Project> projects = folder.readProjects();
    std::string id = recordID(payload);
    std::optional<Record> stored = folder.readTask(id);
    auto revision = integerAt(payload, "revision");
    if (!revision || *revision < 0 || *revision == std::numeric_limits<std::int64_t>::max())
        throw DesktopError("缺少任务版本。");
    return RecordCall { std::move(folder), std::move(projects), std::move(id), std::move(stored), *revision };
}

Json TaskWorkspace::source(const std::string& owner, const Json& payload) const
{
    RecordCall call = openRecord(owner, payload);
    auto source = integerAt(payload, "source");
    const std::optional<Record>& record = call.stored;
    if (!record || !record->confirmed || record->revision != call.revision || !source || *source < 1
        || static_cast<std::uint64_t>(*source) > record->attachments.size())
        throw DesktopError("资料不在本次已确认范围内。");
    const Attachment& attachment = record->attachments[static_cast<std::size_t>(*source - 1)];
    return Json { { "text", attachment.executionText(kTextBudget) } };
}

Json TaskWorkspace::startScope(const std::string& owner, const Json& payload) const
{
    RecordCall call = openRecord(owner, payload);
    const std::optional<Record>& record = call.stored;
    const std::vector<Project>& projects = call.projects;
    const std::int64_t revision = call.revision;
    auto budget = integerAt(payload, "budgetMicros");
    if (!record || !record->confirmed || record->revision != revision || !budget || *budget < 1)
        throw DesktopError("请核对任务版本和执行预算。");

    std::size_t remaining = kTextBudget;
    Json files = Json::array();
    for (const auto& attachment : record->attachments) {
        std::string text = attachment.executionText(remaining);
        remaining -= text.size();
        files.push_back(
            Json { { "name", attachment.name }, { "digest", sha256Hex(text) }, { "text", std::move(text) } });
    }
    auto project
        = std::find_if(projects.begin(), projects.end(), [&](const Project& p) { return p.id == record->project; });

    Json scope = Json::object();
    scope["model"] = "deepseek-flash";
    scope["channel"] = "deepseek-official";
    scope["budgetMicros"] = *budget;
    scope["revision"] = revision;
    scope["title"] = record->title;
    scope["body"] = record->body;
    scope["project"] = project != projects.end() ? project->name : "";
    scope["files"] = std::move(files);
    if (!record->skill.empty())
        scope["skill"] = record->skill;
    if (record->minute)
        scope["minute"] = Json { { "id", record->minute->id }, { "digest", record->minute->digest } };
    return scope;
}

Json TaskWorkspace::save(const std::string& owner, const Json& payload) const
{
    RecordCall call = openRecord(owner, payload);
    call.requireUnchanged();
    Record draft = draftFrom(payload, call.id, call.revision, call.stored, call.projects);
    call.folder.writeTask(draft);
    return display(draft);
}

Json TaskWorkspace::attach(
    const std::string& owner, const Json& payload, const std::vector<std::filesystem::path>& selectedFiles) const
{
    RecordCall call = openRecord(owner, payload);
    call.requireUnchanged();
    Record draft = draftFrom(payload, call.id, call.revision, call.stored, call.projects);
    std::vector<std::string> messages;
    std::size_t added = 0;
    for (const auto& file : selectedFiles) {
        const std::string label = fileDisplayName(file) + " · ";
        if (draft.attachments.size() >= kMaxAttachments) {
            messages.push_back(label + "每项任务最多 5 个文件");
            continue;
        }
        std::optional<Attachment> attachment;
        try {
            attachment = Attachment::inspect(file);
        } catch (...) {
            messages.push_back(label + describe(std::current_exception()));
            continue;
        }
        bool duplicate = std::any_of(draft.attachments.begin(), draft.attachments.end(),
            [&](const Attachment& a) { return a.digest == attachment->digest; });
        if (duplicate) {
            messages.push_back(label + "内容重复");
            continue;
        }
        draft.attachments.push_back(std::move(*attachment));
        ++added;
    }
    Json recordView = nullptr;
    if (added > 0) {
        messages.insert(messages.begin(), "已添加 " + std::to_string(added) + " 个附件");
        call.folder.writeTask(draft);
        recordView = display(draft);
    } else if (call.stored) {
        recordView = display(*call.stored);
    }
    std::string message;
    for (std::size_t i = 0; i < messages.size(); ++i)
        message += (i ? "；" : "") + messages[i];
    return Json { { "record", std::move(recordView) }, { "message", std::move(message) } };
}

Json TaskWorkspace::confirm(const std::string& owner, const Json& payload) const
{
    RecordCall call = openRecord(owner, payload);
    const std::optional<Record>& stored = call.stored;
    // A repeated confirmation gets the answer of the first one.
    if (stored && stored->confirmed && stored->revision == call.revision + 1)
        return display(*stored);
    call.requireUnchanged();
    if (!stored)
        throw DesktopError("请先保存草稿。");
    Record confirmed = *stored;
    confirmed.body = trimWhitespace(confirmed.body);
    if (confirmed.body.empty())
        throw DesktopError("请先填写交付说明。");
    confirmed.title = trimWhitespace(confirmed.title);
    if (confirmed.title.empty())
        confirmed.title = derivedTitle(confirmed.body);
    for (const auto& attachment : confirmed.attachments)
        attachment.validate();
    confirmed.confirmed = true;
    confirmed.revision = call.revision + 1;
    confirmed.updatedAt = nowReferenceSeconds();
    call.folder.writeTask(confirmed);
    return display(confirmed);
}

}
