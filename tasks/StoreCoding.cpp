#include "tasks/StoreCoding.h"

#include "base/DesktopError.h"
#include "tasks/Base64.h"
#include "tasks/JsonCursor.h"

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
    Reader(const Json& object, const std::string& fileName)
        : object_(object)
        , fileName_(fileName)
    {
    }

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

namespace {

// Decodes one task file in a single pass over its text. Type problems are
// remembered and reported once the whole text is known to be valid JSON, so
// that broken text is always reported as such.
class RecordDecoder {
public:
    RecordDecoder(std::string_view bytes, const std::string& fileName, bool keepExcerpts)
        : cursor_(bytes)
        , fileName_(fileName)
        , keepExcerpts_(keepExcerpts)
    {
    }

    Record decode()
    {
        Record record;
        if (cursor_.peek() != JsonCursor::Kind::object) {
            expect(cursor_.skipValue() && cursor_.atEnd());
            fail("任务不是 JSON 对象");
        }
        enum : unsigned {
            Id = 1,
            Title = 2,
            Body = 4,
            Project = 8,
            Skill = 16,
            Revision = 32,
            Confirmed = 64,
            Updated = 128
        };
        unsigned seen = 0;
        forEachKey([&](const std::string& key) {
            if (key == "id")
                seen |= readString("id", record.id) ? Id : 0;
            else if (key == "title")
                seen |= readString("title", record.title) ? Title : 0;
            else if (key == "body")
                seen |= readString("body", record.body) ? Body : 0;
            else if (key == "project")
                seen |= readString("project", record.project) ? Project : 0;
            else if (key == "skill")
                seen |= readString("skill", record.skill) ? Skill : 0;
            else if (key == "minute")
                readMinute(record.minute);
            else if (key == "attachments")
                readAttachments(record.attachments);
            else if (key == "revision")
                seen |= readRevision(record.revision) ? Revision : 0;
            else if (key == "confirmed")
                seen |= readBoolean("confirmed", record.confirmed) ? Confirmed : 0;
            else if (key == "updatedAt")
                seen |= readDouble("updatedAt", record.updatedAt) ? Updated : 0;
            else
                expect(cursor_.skipValue());
        });
        expect(cursor_.atEnd());
        if (!problem_.empty())
            fail(problem_);
        const std::pair<unsigned, const char*> required[] = {
            { Id, "id" },
            { Title, "title" },
            { Body, "body" },
            { Project, "project" },
            { Skill, "skill" },
            { Revision, "revision" },
            { Confirmed, "confirmed" },
            { Updated, "updatedAt" },
        };
        for (const auto& [bit, name] : required)
            if (!(seen & bit))
                fail(std::string("缺少“") + name + "”");
        return record;
    }

private:
    void expect(bool wellFormed)
    {
        if (!wellFormed)
            throw DesktopError("无法解读「" + fileName_ + "」：内容不是有效的 JSON。");
    }
    [[noreturn]] void fail(const std::string& detail)
    {
        throw DesktopError("无法解读「" + fileName_ + "」：" + detail + "。");
    }
    void note(std::string detail)
    {
        if (problem_.empty())
            problem_ = std::move(detail);
    }
    // Notes the first of `names` the object lacked, name i being bit i of
    // `seen`.
    void noteFirstMissing(unsigned seen, std::initializer_list<const char*> names)
    {
        unsigned bit = 1;
        for (const char* name : names) {
            if (!(seen & bit)) {
                note(std::string("缺少“") + name + "”");
                return;
            }
            bit <<= 1;
        }
    }
    // Walks the object at the cursor: `read(key)` reads or skips the value
    // of each key, in the order they stand.
    template <typename Read> void forEachKey(Read read)
    {
        std::string key;
        JsonCursor::Sequence fields;
        expect(cursor_.beginObject(fields));
        for (bool more;;) {
            expect(cursor_.nextKey(fields, key, more));
            if (!more)
                break;
            read(key);
        }
    }
    bool wrongType(const char* key)
    {
        note(std::string("“") + key + "”的类型不对");
        expect(cursor_.skipValue());
        return false;
    }

    bool readString(const char* key, std::string& out)
    {
        if (cursor_.peek() != JsonCursor::Kind::string)
            return wrongType(key);
        expect(cursor_.readString(out));
        return true;
    }
    // Absent and null are the same for optional keys.
    void readOptionalString(const char* key, std::optional<std::string>& out)
    {
        if (cursor_.peek() == JsonCursor::Kind::null) {
            expect(cursor_.skipValue());
            out.reset();
            return;
        }
        std::string value;
        if (readString(key, value))
            out = std::move(value);
    }
    bool readBoolean(const char* key, bool& out)
    {
        if (cursor_.peek() != JsonCursor::Kind::boolean)
            return wrongType(key);
        expect(cursor_.readBoolean(out));
        return true;
    }
    bool readNumber(bool& isInteger, std::int64_t& integer, bool& isUnsigned, double& number)
    {
        std::uint64_t unsignedValue;
        expect(cursor_.readNumber(isInteger, integer, unsignedValue, isUnsigned, number));
        return true;
    }
    bool readDouble(const char* key, double& out)
    {
        auto kind = cursor_.peek();
        if (kind != JsonCursor::Kind::integer && kind != JsonCursor::Kind::unsignedInteger
            && kind != JsonCursor::Kind::floating)
            return wrongType(key);
        bool isInteger, isUnsigned;
        std::int64_t integer;
        return readNumber(isInteger, integer, isUnsigned, out);
    }
    bool readRevision(std::int64_t& out)
    {
        auto kind = cursor_.peek();
        if (kind == JsonCursor::Kind::unsignedInteger) {
            note("“revision”超出范围");
            expect(cursor_.skipValue());
            return false;
        }
        if (kind != JsonCursor::Kind::integer)
            return wrongType("revision");
        bool isInteger, isUnsigned;
        double number;
        return readNumber(isInteger, out, isUnsigned, number);
    }

    void readMinute(std::optional<MinuteRef>& out)
    {
        auto kind = cursor_.peek();
        if (kind == JsonCursor::Kind::null) {
            expect(cursor_.skipValue());
            out.reset();
            return;
        }
        if (kind != JsonCursor::Kind::object) {
            wrongType("minute");
            return;
        }
        MinuteRef minute;
        unsigned seen = 0;
        forEachKey([&](const std::string& key) {
            if (key == "id")
                seen |= readString("id", minute.id) ? 1 : 0;
            else if (key == "digest")
                seen |= readString("digest", minute.digest) ? 2 : 0;
            else if (key == "title")
                seen |= readString("title", minute.title) ? 4 : 0;
            else
                expect(cursor_.skipValue());
        });
        noteFirstMissing(seen, { "id", "digest", "title" });
        out = std::move(minute);
    }

    void readAttachments(std::vector<Attachment>& out)
    {
        auto kind = cursor_.peek();
        out.clear();
        if (kind == JsonCursor::Kind::null) {
            expect(cursor_.skipValue());
            return;
        }
        if (kind != JsonCursor::Kind::array) {
            wrongType("attachments");
            return;
        }
        JsonCursor::Sequence items;
        expect(cursor_.beginArray(items));
        for (bool more;;) {
            expect(cursor_.nextElement(items, more));
            if (!more)
                break;
            if (cursor_.peek() != JsonCursor::Kind::object) {
                note("附件不是 JSON 对象");
                expect(cursor_.skipValue());
                continue;
            }
            out.push_back(readAttachment());
        }
    }

    Attachment readAttachment()
    {
        Attachment attachment;
        unsigned seen = 0;
        forEachKey([&](const std::string& key) {
            if (key == "name") {
                seen |= readString("name", attachment.name) ? 1 : 0;
            } else if (key == "digest") {
                seen |= readString("digest", attachment.digest) ? 2 : 0;
            } else if (key == "bookmark") {
                std::string text;
                if (readString("bookmark", text)) {
                    seen |= 4;
                    if (auto bytes = base64Decode(text))
                        attachment.bookmark = std::move(*bytes);
                    else
                        note("“bookmark”不是有效的 Base64");
                }
            } else if (key == "excerpt" && !keepExcerpts_ && cursor_.peek() == JsonCursor::Kind::string) {
                expect(cursor_.skipValue());
                attachment.excerpt.emplace();
            } else if (key == "excerpt") {
                readOptionalString("excerpt", attachment.excerpt);
            } else if (key == "method") {
                readOptionalString("method", attachment.method);
            } else {
                expect(cursor_.skipValue());
            }
        });
        noteFirstMissing(seen, { "name", "digest", "bookmark" });
        return attachment;
    }

    JsonCursor cursor_;
    const std::string& fileName_;
    bool keepExcerpts_;
    std::string problem_;
};

}

Record StoreCoding::decodeRecord(std::string_view bytes, const std::string& fileName, bool keepExcerpts)
{
    return RecordDecoder(bytes, fileName, keepExcerpts).decode();
}

}
