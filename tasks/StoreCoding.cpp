#include "tasks/StoreCoding.h"

#include "host/base/DesktopError.h"
#include "tasks/Base64.h"

namespace korvid {

namespace {

using Attachment = TaskWorkspace::Attachment;
using MinuteRef = TaskWorkspace::MinuteRef;
using Project = TaskWorkspace::Project;
using Record = TaskWorkspace::Record;

// Reads the fields of one decoded object, stopping at the first key that is
// missing or of the wrong type.
class Reader {
public:
    Reader(const Json& object, const std::string& fileName) : object_(object), fileName_(fileName) {}

    const Json& required(const char* key, bool (Json::*isType)() const noexcept) const
    {
        auto it = object_.find(key);
        if (it == object_.end())
            fail(std::string("缺少“") + key + "”");
        if (!((*it).*isType)())
            fail(std::string("“") + key + "”的类型不对");
        return *it;
    }
    // Absent or null means none; another type is a decoding failure.
    const Json* optional(const char* key, bool (Json::*isType)() const noexcept) const
    {
        auto it = object_.find(key);
        if (it == object_.end() || it->is_null())
            return nullptr;
        if (!((*it).*isType)())
            fail(std::string("“") + key + "”的类型不对");
        return &*it;
    }

    std::string string(const char* key) const { return required(key, &Json::is_string).get<std::string>(); }
    std::optional<std::string> optionalString(const char* key) const
    {
        const Json* value = optional(key, &Json::is_string);
        return value ? std::optional(value->get<std::string>()) : std::nullopt;
    }
    std::int64_t integer(const char* key) const
    {
        const Json& value = required(key, &Json::is_number_integer);
        if (value.is_number_unsigned() && value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
            fail(std::string("“") + key + "”超出范围");
        return value.get<std::int64_t>();
    }

    [[noreturn]] void fail(const std::string& detail) const
    {
        throw DesktopError("无法解读「" + fileName_ + "」：" + detail + "。");
    }

private:
    const Json& object_;
    const std::string& fileName_;
};

Json parse(std::string_view bytes, const std::string& fileName)
{
    Json value = Json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (value.is_discarded())
        throw DesktopError("无法解读「" + fileName + "」：内容不是有效的 JSON。");
    return value;
}

void requireObject(const Json& value, const std::string& fileName, const char* what)
{
    if (!value.is_object())
        throw DesktopError("无法解读「" + fileName + "」：" + what + "不是 JSON 对象。");
}

Project decodeProject(const Json& value, const std::string& fileName)
{
    requireObject(value, fileName, "项目");
    Reader reader(value, fileName);
    Project project;
    project.id = reader.string("id");
    project.name = reader.string("name");
    project.goal = reader.optionalString("goal");
    project.companyId = reader.optionalString("companyId");
    return project;
}

Attachment decodeAttachment(const Json& value, const std::string& fileName)
{
    requireObject(value, fileName, "附件");
    Reader reader(value, fileName);
    Attachment attachment;
    attachment.name = reader.string("name");
    attachment.digest = reader.string("digest");
    auto bookmark = base64Decode(reader.string("bookmark"));
    if (!bookmark)
        reader.fail("“bookmark”不是有效的 Base64");
    attachment.bookmark = std::move(*bookmark);
    attachment.excerpt = reader.optionalString("excerpt");
    attachment.method = reader.optionalString("method");
    return attachment;
}

MinuteRef decodeMinute(const Json& value, const std::string& fileName)
{
    Reader reader(value, fileName);
    return MinuteRef { reader.string("id"), reader.string("digest"), reader.string("title") };
}

Json attachmentObject(const Attachment& attachment)
{
    Json object = Json::object();
    object["name"] = attachment.name;
    object["digest"] = attachment.digest;
    object["bookmark"] = base64Encode(attachment.bookmark);
    if (attachment.excerpt)
        object["excerpt"] = *attachment.excerpt;
    if (attachment.method)
        object["method"] = *attachment.method;
    return object;
}

std::string dump(const Json& value)
{
    // Names come from file names, which need not be valid UTF-8; replace
    // such bytes rather than failing the write.
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}

Json StoreCoding::projectObject(const Project& project)
{
    Json object = Json::object();
    object["id"] = project.id;
    object["name"] = project.name;
    if (project.goal)
        object["goal"] = *project.goal;
    if (project.companyId)
        object["companyId"] = *project.companyId;
    return object;
}

std::string StoreCoding::encodeProjects(const std::vector<Project>& projects)
{
    Json array = Json::array();
    for (const auto& project : projects)
        array.push_back(projectObject(project));
    return dump(array);
}

std::vector<Project> StoreCoding::decodeProjects(std::string_view bytes, const std::string& fileName)
{
    Json value = parse(bytes, fileName);
    if (!value.is_array())
        throw DesktopError("无法解读「" + fileName + "」：内容不是项目列表。");
    std::vector<Project> projects;
    projects.reserve(value.size());
    for (const auto& item : value)
        projects.push_back(decodeProject(item, fileName));
    return projects;
}

std::string StoreCoding::encodeRecord(const Record& record)
{
    Json object = Json::object();
    object["id"] = record.id;
    object["title"] = record.title;
    object["body"] = record.body;
    object["project"] = record.project;
    object["skill"] = record.skill;
    if (record.minute)
        object["minute"] = Json { { "id", record.minute->id }, { "digest", record.minute->digest },
                                  { "title", record.minute->title } };
    Json attachments = Json::array();
    for (const auto& attachment : record.attachments)
        attachments.push_back(attachmentObject(attachment));
    object["attachments"] = std::move(attachments);
    object["revision"] = record.revision;
    object["confirmed"] = record.confirmed;
    object["updatedAt"] = record.updatedAt;
    return dump(object);
}

Record StoreCoding::decodeRecord(std::string_view bytes, const std::string& fileName)
{
    Json value = parse(bytes, fileName);
    requireObject(value, fileName, "任务");
    Reader reader(value, fileName);
    Record record;
    record.id = reader.string("id");
    record.title = reader.string("title");
    record.body = reader.string("body");
    record.project = reader.string("project");
    record.skill = reader.string("skill");
    if (const Json* minute = reader.optional("minute", &Json::is_object))
        record.minute = decodeMinute(*minute, fileName);
    if (const Json* attachments = reader.optional("attachments", &Json::is_array)) {
        record.attachments.reserve(attachments->size());
        for (const auto& item : *attachments)
            record.attachments.push_back(decodeAttachment(item, fileName));
    }
    record.revision = reader.integer("revision");
    record.confirmed = reader.required("confirmed", &Json::is_boolean).get<bool>();
    record.updatedAt = reader.required("updatedAt", &Json::is_number).get<double>();
    return record;
}

}
