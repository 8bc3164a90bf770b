#include "tasks/TaskWorkspace.h"

#include "base/Digest.h"
#include "base/Text.h"
#include "tasks/tests/TestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace korvid {
namespace {

using testing::errorOf;
using testing::readFile;
using testing::TempFolder;
using testing::writeFile;

const std::string kOwner = "account-7";
const std::string kId = "6F1C2A4E-0B7D-4C1E-9A3B-2D5E8F7A9C10";
const std::string kLowerId = "6f1c2a4e-0b7d-4c1e-9a3b-2d5e8f7a9c10";
const std::string kConflict = "此任务已在其他窗口更改，请重新打开任务列表。";
const std::string kDraftInvalid = "请核对所属项目、名称和交付说明。";

class TaskWorkspaceTest : public ::testing::Test {
protected:
    Json call(const std::string& op, const Json& payload, const std::vector<std::filesystem::path>& files = {})
    {
        return testing::callEntry(workspace, op, kOwner, payload, files);
    }
    std::string fails(const std::string& op, const Json& payload, const std::vector<std::filesystem::path>& files = {})
    {
        return errorOf([&] { call(op, payload, files); });
    }
    static Json draft(std::int64_t revision, const std::string& body = "交付一份报价单")
    {
        return Json { { "id", kId }, { "revision", revision }, { "title", "报价" }, { "body", body }, { "skill", "" },
            { "project", "" } };
    }
    std::filesystem::path ownerFolder() const { return workspace.root() / TaskWorkspace::ownerKey(kOwner); }
    std::filesystem::path taskFile() const { return ownerFolder() / ("task-" + kLowerId + ".json"); }
    std::filesystem::path textFile(const std::string& name, const std::string& content)
    {
        auto file = files / name;
        writeFile(file, content);
        return file;
    }

    TempFolder temp;
    std::filesystem::path files = [this] {
        auto folder = temp / "picked";
        std::filesystem::create_directory(folder);
        return folder;
    }();
    TaskWorkspace workspace { temp / "store" / "TaskWorkspace" };
};

// ---- store layout ---------------------------------------------------------

TEST_F(TaskWorkspaceTest, FirstCallCreatesOnlyTheFolderAndLock)
{
    Json reply = call("workspaceOpen", Json::object());
    EXPECT_EQ(reply, (Json { { "projects", Json::array() }, { "records", Json::array() } }));

    struct stat info { };
    ASSERT_EQ(::stat(ownerFolder().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(workspace.root().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat((ownerFolder() / ".lock").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_size, 0);
    std::vector<std::string> entries;
    for (const auto& entry : std::filesystem::directory_iterator(ownerFolder()))
        entries.push_back(entry.path().filename());
    EXPECT_EQ(entries, std::vector<std::string> { ".lock" });
}

TEST_F(TaskWorkspaceTest, OwnerKeyIsSha256OfTheExactOwnerString)
{
    EXPECT_EQ(TaskWorkspace::ownerKey("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    workspace.open("Alice");
    workspace.open("alice");
    EXPECT_TRUE(std::filesystem::is_directory(workspace.root() / TaskWorkspace::ownerKey("Alice")));
    EXPECT_TRUE(std::filesystem::is_directory(workspace.root() / TaskWorkspace::ownerKey("alice")));
    EXPECT_NE(TaskWorkspace::ownerKey("Alice"), TaskWorkspace::ownerKey("alice"));
}

TEST_F(TaskWorkspaceTest, DefaultRootFollowsDataHomeAndIdentifierRule)
{
    EXPECT_EQ(TaskWorkspace::storeIdentifier("com.vantorel.desktop"), "com.vantorel.desktop.dev");
    EXPECT_EQ(TaskWorkspace::storeIdentifier(""), "com.vantorel.desktop.dev");
    EXPECT_EQ(TaskWorkspace::storeIdentifier("com.example.beta"), "com.example.beta");

    const char* saved = std::getenv("XDG_DATA_HOME");
    std::string restore = saved ? saved : "";
    ::setenv("XDG_DATA_HOME", "/srv/data", 1);
    EXPECT_EQ(TaskWorkspace::defaultRoot(), "/srv/data/com.vantorel.desktop.dev/TaskWorkspace");
    ::unsetenv("XDG_DATA_HOME");
    std::string home = std::getenv("HOME") ? std::getenv("HOME") : "/";
    EXPECT_EQ(TaskWorkspace::defaultRoot(),
        std::filesystem::path(home) / ".local/share/com.vantorel.desktop.dev/TaskWorkspace");
    if (saved)
        ::setenv("XDG_DATA_HOME", restore.c_str(), 1);
}

TEST_F(TaskWorkspaceTest, ListingKeepsOnlyLowerCaseTaskJsonNames)
{
    call("workspaceOpen", Json::object());
    writeFile(ownerFolder() / "task-1.JSON", "garbage");
    writeFile(ownerFolder() / "notes.txt", "garbage");
    writeFile(ownerFolder() / "projects.json", "[]");
    writeFile(ownerFolder() / ".task-x.json.tmp-1", "garbage"); // what a crash mid-write leaves
    EXPECT_EQ(call("workspaceOpen", Json::object())["records"], Json::array());
}

TEST_F(TaskWorkspaceTest, OneUndecodableTaskFailsTheWholeListing)
{
    call("taskSave", draft(0));
    auto other = ownerFolder() / "task-00000000-0000-4000-8000-000000000001.json";
    std::string good = readFile(taskFile());

    // Unknown keys are ignored.
    writeFile(other,
        R"({"id":"00000000-0000-4000-8000-000000000001","title":"","body":"","project":"","skill":"",)"
        R"("revision":1,"confirmed":false,"updatedAt":5,"colour":"blue"})");
    EXPECT_EQ(call("workspaceOpen", Json::object())["records"].size(), 2u);

    for (const char* bad :
        { R"({"id":"x","title":"","body":"","project":"","skill":"","revision":"2","confirmed":false,"updatedAt":5})",
            R"({"id":"x","title":"","body":"","project":"","skill":"","revision":2,"confirmed":false})",
            R"({"id":"x","title":"","body":"","project":"","skill":"","revision":2.0,"confirmed":false,"updatedAt":5})",
            R"({"id":"x","title":"","body":"","project":"","skill":"","revision":2,"confirmed":0,"updatedAt":5})",
            R"({"id":"x","title":"","body":"","project":"","skill":"","revision":2,"confirmed":false,"updatedAt":5,)"
            R"("attachments":[{"name":"a","digest":"d","bookmark":"***"}]})",
            R"([1,2])", "", "{" }) {
        writeFile(other, bad);
        std::string message = fails("workspaceOpen", Json::object());
        EXPECT_NE(message.find("无法解读「task-00000000-0000-4000-8000-000000000001.json」"), std::string::npos)
            << bad << " → " << message;
    }
    EXPECT_EQ(readFile(taskFile()), good);
}

TEST_F(TaskWorkspaceTest, ProjectsFolderInsteadOfFileFailsEveryCall)
{
    call("workspaceOpen", Json::object());
    std::filesystem::create_directory(ownerFolder() / "projects.json");
    EXPECT_EQ(fails("workspaceOpen", Json::object()), "读取「projects.json」失败：这是一个文件夹，不是文件。");
    EXPECT_EQ(fails("taskSave", draft(0)), "读取「projects.json」失败：这是一个文件夹，不是文件。");
}

TEST_F(TaskWorkspaceTest, LockAndFolderFailuresAreChineseSentences)
{
    call("workspaceOpen", Json::object());
    std::filesystem::remove(ownerFolder() / ".lock");
    std::filesystem::create_directory(ownerFolder() / ".lock");
    EXPECT_EQ(fails("workspaceOpen", Json::object()), "工作区暂时不可写，请检查磁盘空间及权限。");

    TaskWorkspace blocked(temp / "plain-file" / "TaskWorkspace");
    writeFile(temp / "plain-file", "x");
    std::string message = errorOf([&] { blocked.open(kOwner); });
    EXPECT_EQ(message.rfind("创建工作区文件夹", 0), 0u) << message;
}

TEST_F(TaskWorkspaceTest, LockIsReleasedAfterSuccessAndFailure)
{
    auto lockIsFree = [&] {
        int fd = ::open((ownerFolder() / ".lock").c_str(), O_RDWR | O_CLOEXEC);
        bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        ::close(fd);
        return free;
    };
    call("workspaceOpen", Json::object());
    EXPECT_TRUE(lockIsFree());
    EXPECT_EQ(fails("taskSave", draft(4)), kConflict);
    EXPECT_TRUE(lockIsFree());
    EXPECT_EQ(fails("taskAttach", draft(0), { files / "missing.txt" }), "<none>");
    EXPECT_TRUE(lockIsFree());
}

// ---- projects -------------------------------------------------------------

TEST_F(TaskWorkspaceTest, ProjectCreateIsWrittenOnceAndRefusesChanges)
{
    Json payload { { "id", kId }, { "name", "  华东渠道  \n" }, { "goal", "" }, { "companyId", " c-1 " } };
    Json first = call("projectCreate", payload);
    EXPECT_EQ(first, (Json { { "id", "project-" + kLowerId }, { "name", "华东渠道" }, { "companyId", " c-1 " } }));
    struct stat before { };
    ::stat((ownerFolder() / "projects.json").c_str(), &before);
    EXPECT_EQ(call("projectCreate", payload), first);
    struct stat after { };
    ::stat((ownerFolder() / "projects.json").c_str(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino) << "an identical project must not be rewritten";

    payload["goal"] = "拿下试点";
    EXPECT_EQ(fails("projectCreate", payload), "项目已变更，请重新打开。");
    EXPECT_EQ(readFile(ownerFolder() / "projects.json"),
        R"([{"id":"project-)" + kLowerId + R"(","name":"华东渠道","companyId":" c-1 "}])");

    Json second { { "id", "00000000-0000-4000-8000-000000000002" }, { "name", "B" }, { "goal", " 目标 " } };
    call("projectCreate", second);
    Json projects = call("workspaceOpen", Json::object())["projects"];
    ASSERT_EQ(projects.size(), 2u);
    EXPECT_EQ(projects[1],
        (Json { { "id", "project-00000000-0000-4000-8000-000000000002" }, { "name", "B" }, { "goal", "目标" } }));
}

TEST_F(TaskWorkspaceTest, ProjectFieldLimitsCountUtf16Units)
{
    auto create = [&](Json fields) {
        fields["id"] = kId;
        return fails("projectCreate", fields);
    };
    EXPECT_EQ(create({ { "goal", "g" } }), "请填写项目名称。");
    EXPECT_EQ(create({ { "name", 5 } }), "请填写项目名称。");
    EXPECT_EQ(create({ { "name", " \n\t " } }), "项目名称限 1 至 80 个字符。");
    std::string emoji = "😀"; // two UTF-16 units
    std::string forty, fortyOne;
    for (int i = 0; i < 40; ++i)
        forty += emoji;
    fortyOne = forty + emoji;
    EXPECT_EQ(create({ { "name", fortyOne } }), "项目名称限 1 至 80 个字符。");
    EXPECT_EQ(create({ { "name", "n" }, { "goal", std::string(501, 'g') } }), "项目目标或客户标识过长。");
    EXPECT_EQ(create({ { "name", "n" }, { "companyId", std::string(161, 'c') } }), "项目目标或客户标识过长。");
    EXPECT_EQ(create({ { "name", forty }, { "goal", std::string(500, 'g') }, { "companyId", std::string(160, 'c') } }),
        "<none>");
    EXPECT_EQ(fails("projectCreate", { { "id", "project-1" }, { "name", "n" } }), "记录标识失效，请重新打开工作区。");
}

// ---- the revision rule ----------------------------------------------------

TEST_F(TaskWorkspaceTest, RevisionLifeCycleAndConfirmReplay)
{
    EXPECT_EQ(call("taskSave", draft(0))["revision"], 1);
    EXPECT_EQ(fails("taskSave", draft(0)), kConflict);
    EXPECT_EQ(call("taskSave", draft(1))["revision"], 2);

    Json confirmed = call("taskConfirm", { { "id", kId }, { "revision", 2 } });
    EXPECT_EQ(confirmed["revision"], 3);
    EXPECT_EQ(confirmed["confirmed"], true);
    std::string stored = readFile(taskFile());
    EXPECT_EQ(call("taskConfirm", { { "id", kId }, { "revision", 2 } }), confirmed);
    EXPECT_EQ(readFile(taskFile()), stored) << "a replayed confirmation writes nothing";

    EXPECT_EQ(fails("taskSave", draft(3)), kConflict);
    EXPECT_EQ(fails("taskAttach", draft(3)), kConflict);
    EXPECT_EQ(fails("taskConfirm", { { "id", kId }, { "revision", 3 } }), kConflict);
    EXPECT_EQ(fails("taskConfirm", { { "id", kId }, { "revision", 1 } }), kConflict);
}

TEST_F(TaskWorkspaceTest, IdAndRevisionAreCheckedFirst)
{
    EXPECT_EQ(fails("taskSave", { { "revision", 0 } }), "记录标识失效，请重新打开工作区。");
    EXPECT_EQ(fails("taskSave", { { "id", 12 }, { "revision", 0 } }), "记录标识失效，请重新打开工作区。");
    EXPECT_EQ(fails("taskSave", { { "id", kId + "0" }, { "revision", 0 } }), "记录标识失效，请重新打开工作区。");
    for (Json revision : { Json("1"), Json(1.0), Json(-1), Json(INT64_MAX), Json(nullptr), Json(UINT64_MAX) }) {
        Json payload = draft(0);
        payload["revision"] = revision;
        EXPECT_EQ(fails("taskSave", payload), "缺少任务版本。") << revision.dump();
    }
    Json missing = draft(0);
    missing.erase("revision");
    EXPECT_EQ(fails("taskSave", missing), "缺少任务版本。");
}

// An operation's own work comes after the id, the revision and the conflict
// rule: confirming an unsaved draft says so only at the revision a new
// draft would have.
TEST_F(TaskWorkspaceTest, OwnWorkComesAfterTheConflictRule)
{
    EXPECT_EQ(fails("taskConfirm", { { "id", kId }, { "revision", 0 } }), "请先保存草稿。");
    EXPECT_EQ(fails("taskConfirm", { { "id", kId }, { "revision", 5 } }), kConflict);
    EXPECT_EQ(fails("taskConfirm", { { "id", kId } }), "缺少任务版本。");
    EXPECT_FALSE(std::filesystem::exists(taskFile()));
}

// ---- drafts ---------------------------------------------------------------

TEST_F(TaskWorkspaceTest, DraftFieldsOfWrongTypeOrBeyondLimitsAreRefused)
{
    call("projectCreate", { { "id", "00000000-0000-4000-8000-0000000000aa" }, { "name", "P" } });
    auto withField = [&](const char* key, Json value) {
        Json payload = draft(0);
        if (value.is_discarded())
            payload.erase(key);
        else
            payload[key] = value;
        return fails("taskSave", payload);
    };
    EXPECT_EQ(withField("title", 5), kDraftInvalid);
    EXPECT_EQ(withField("title", std::string(81, 't')), kDraftInvalid);
    EXPECT_EQ(withField("body", nullptr), kDraftInvalid);
    EXPECT_EQ(withField("body", std::string(1201, 'b')), kDraftInvalid);
    EXPECT_EQ(withField("skill", "跳舞"), kDraftInvalid);
    EXPECT_EQ(withField("skill", Json::array()), kDraftInvalid);
    EXPECT_EQ(withField("project", "project-unknown"), kDraftInvalid);
    EXPECT_EQ(withField("project", Json(Json::value_t::discarded)), kDraftInvalid);
    EXPECT_EQ(withField("minute", { { "id", kId }, { "digest", std::string(64, 'A') }, { "title", "纪要" } }),
        "引用纪要失效。");
    EXPECT_EQ(withField("minute", { { "id", "nope" }, { "digest", std::string(64, 'a') }, { "title", "纪要" } }),
        "引用纪要失效。");
    EXPECT_EQ(
        withField("minute", { { "id", kId }, { "digest", std::string(64, 'a') }, { "title", "" } }), "引用纪要失效。");
    EXPECT_EQ(withField("minute", { { "digest", std::string(64, 'a') }, { "title", "x" } }), "引用纪要失效。");
    // Draft fields are checked before the minute reference.
    Json both = draft(0);
    both["title"] = 1;
    both["minute"] = { { "id", "nope" } };
    EXPECT_EQ(fails("taskSave", both), kDraftInvalid);
    EXPECT_FALSE(std::filesystem::exists(taskFile()));

    Json good = draft(0);
    good["project"] = "project-00000000-0000-4000-8000-0000000000aa";
    good["skill"] = "项目周报";
    good["title"] = std::string(80, 't');
    good["body"] = std::string(1200, 'b');
    good["minute"]
        = { { "id", "ABCDEF01-0000-4000-8000-000000000000" }, { "digest", std::string(64, 'a') }, { "title", "周会" } };
    Json view = call("taskSave", good);
    EXPECT_EQ(view["minute"],
        (Json { { "id", "ABCDEF01-0000-4000-8000-000000000000" }, { "digest", std::string(64, 'a') },
            { "title", "周会" } }));
    EXPECT_EQ(view["skill"], "项目周报");

    // A minute that is not an object of strings is no minute at all.
    Json loose = draft(1);
    loose["minute"] = { { "id", kId }, { "digest", std::string(64, 'a') }, { "title", 3 } };
    EXPECT_FALSE(call("taskSave", loose).contains("minute"));
}

TEST_F(TaskWorkspaceTest, RecordViewShape)
{
    Json view = call("taskSave", draft(0));
    EXPECT_EQ(view["id"], kLowerId);
    EXPECT_EQ(view["files"], Json::array());
    EXPECT_FALSE(view.contains("minute"));
    std::string updated = view["updatedAt"];
    ASSERT_EQ(updated.size(), 20u) << updated;
    EXPECT_EQ(updated[10], 'T');
    EXPECT_EQ(updated.back(), 'Z');
    std::vector<std::string> keys;
    for (const auto& item : view.items())
        keys.push_back(item.key());
    EXPECT_EQ(keys,
        (std::vector<std::string> {
            "id", "title", "body", "project", "skill", "revision", "confirmed", "updatedAt", "files" }));

    TaskWorkspace::Record record;
    record.id = "r";
    record.updatedAt = 0;
    EXPECT_EQ(TaskWorkspace::display(record)["updatedAt"], "2001-01-01T00:00:00Z");
    record.updatedAt = 764669109.75; // 2025-03-26T08:05:09.75Z
    EXPECT_EQ(TaskWorkspace::display(record)["updatedAt"], "2025-03-26T08:05:09Z");
    record.attachments.push_back({ "a.pdf", "d1", "bm", "摘录", "PDF 前六页文本层 · 最多 3000 字" });
    record.attachments.push_back({ "b.txt", "d2", "bm", std::nullopt, std::nullopt });
    Json files = TaskWorkspace::display(record)["files"];
    EXPECT_EQ(files,
        (Json::parse(R"([{"name":"a.pdf","digest":"d1","method":"PDF 前六页文本层 · 最多 3000 字"},)"
                     R"({"name":"b.txt","digest":"d2","method":"原文"}])")));
}

// The listing reads file after file into one buffer: a short file read after
// a long one (or a long file shortened by hand since) decodes from its own
// bytes only.
TEST_F(TaskWorkspaceTest, ListingReadsEachFileAloneWhateverItsNeighbours)
{
    call("workspaceOpen", Json::object());
    auto put = [&](int n, const std::string& title, std::size_t excerptBytes) {
        std::string id = "00000000-0000-4000-8000-00000000000" + std::to_string(n);
        std::string attachments = excerptBytes == 0 ? "[]"
                                                    : R"([{"name":"a.pdf","digest":"d","bookmark":"","excerpt":")"
                + std::string(excerptBytes, 'x') + R"(\u4e2d\ud83d\ude00","method":"PDF"}])";
        writeFile(ownerFolder() / ("task-" + id + ".json"),
            R"({"attachments":)" + attachments + R"(,"id":")" + id + R"(","title":")" + title
                + R"(","body":"","project":"","skill":"","revision":1,"confirmed":false,"updatedAt":)"
                + std::to_string(n) + "}");
    };
    auto titles = [&] {
        std::vector<std::string> seen;
        const Json reply = call("workspaceOpen", Json::object());
        for (const auto& record : reply["records"])
            seen.push_back(record["title"].get<std::string>() + "/" + std::to_string(record["files"].size()));
        return seen;
    };
    for (int n = 1; n <= 6; ++n)
        put(n, "任务" + std::to_string(n), n % 2 ? 70000 : 0);
    EXPECT_EQ(
        titles(), (std::vector<std::string> { "任务6/0", "任务5/1", "任务4/0", "任务3/1", "任务2/0", "任务1/1" }));

    // Shortened by hand, and one grown past everything read so far.
    put(5, "改短", 0);
    put(3, "改短", 10);
    put(2, "加长", 200000);
    EXPECT_EQ(titles(), (std::vector<std::string> { "任务6/0", "改短/0", "任务4/0", "改短/1", "加长/1", "任务1/1" }));
}

TEST_F(TaskWorkspaceTest, ListingIsNewestFirstAndStableForEqualTimes)
{
    call("workspaceOpen", Json::object());
    auto put = [&](const std::string& id, double updatedAt) {
        writeFile(ownerFolder() / ("task-" + id + ".json"),
            R"({"id":")" + id
                + R"(","title":"","body":"","project":"","skill":"","revision":1,)"
                  R"("confirmed":false,"updatedAt":)"
                + Json(updatedAt).dump() + "}");
    };
    put("00000000-0000-4000-8000-000000000001", 100);
    put("00000000-0000-4000-8000-000000000002", 300);
    put("00000000-0000-4000-8000-000000000003", 100);
    put("00000000-0000-4000-8000-000000000004", 200.5);
    put("00000000-0000-4000-8000-000000000005", 100);

    std::vector<std::string> listing; // the folder's own order
    DIR* dir = ::opendir(ownerFolder().c_str());
    while (const dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name.starts_with("task-"))
            listing.push_back(name.substr(5, 36));
    }
    ::closedir(dir);
    std::vector<std::string> equal;
    for (const auto& id : listing)
        if (id.back() == '1' || id.back() == '3' || id.back() == '5')
            equal.push_back(id);

    Json records = call("workspaceOpen", Json::object())["records"];
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0]["id"], "00000000-0000-4000-8000-000000000002");
    EXPECT_EQ(records[1]["id"], "00000000-0000-4000-8000-000000000004");
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(records[2 + i]["id"], equal[i]);
}

TEST_F(TaskWorkspaceTest, ConfirmTrimsBodyAndDerivesTitle)
{
    Json payload = draft(0, "  \n 第一行交付说明\n第二行 \n\n ");
    payload["title"] = "  ";
    call("taskSave", payload);
    Json view = call("taskConfirm", { { "id", kId }, { "revision", 1 } });
    EXPECT_EQ(view["title"], "第一行交付说明");
    EXPECT_EQ(view["body"], "第一行交付说明\n第二行");

    const std::string other = "00000000-0000-4000-8000-0000000000bb";
    std::string sixty;
    for (int i = 0; i < 60; ++i)
        sixty += "字";
    Json longLine { { "id", other }, { "revision", 0 }, { "title", "" }, { "body", sixty + "\r\n尾" }, { "skill", "" },
        { "project", "" } };
    call("taskSave", longLine);
    std::string title = call("taskConfirm", { { "id", other }, { "revision", 1 } })["title"];
    EXPECT_EQ(graphemeCount(title), 44u);
    EXPECT_EQ(title, sixty.substr(0, 44 * 3));

    // 44 family emoji would be far beyond the 80-unit title limit.
    const std::string third = "00000000-0000-4000-8000-0000000000cc";
    std::string families;
    for (int i = 0; i < 50; ++i)
        families += "👨‍👩‍👧‍👦";
    call("taskSave",
        { { "id", third }, { "revision", 0 }, { "title", "" }, { "body", families }, { "skill", "" },
            { "project", "" } });
    std::string emojiTitle = call("taskConfirm", { { "id", third }, { "revision", 1 } })["title"];
    EXPECT_LE(utf16Length(emojiTitle), 80u);
    EXPECT_EQ(graphemeCount(emojiTitle), 7u);

    EXPECT_EQ(fails("taskConfirm", { { "id", "00000000-0000-4000-8000-0000000000dd" }, { "revision", 0 } }),
        "请先保存草稿。");
    const std::string blank = "00000000-0000-4000-8000-0000000000ee";
    call("taskSave",
        { { "id", blank }, { "revision", 0 }, { "title", "t" }, { "body", " \n " }, { "skill", "" },
            { "project", "" } });
    EXPECT_EQ(fails("taskConfirm", { { "id", blank }, { "revision", 1 } }), "请先填写交付说明。");
}

// ---- attachments through the operations -----------------------------------

TEST_F(TaskWorkspaceTest, AttachSevenFilesToATaskHoldingOne)
{
    Json first = call("taskAttach", draft(0), { textFile("first.txt", "第一份") });
    EXPECT_EQ(first["message"], "已添加 1 个附件");
    EXPECT_EQ(first["record"]["revision"], 1);

    std::vector<std::filesystem::path> seven;
    for (int i = 0; i < 7; ++i)
        seven.push_back(textFile("f" + std::to_string(i) + ".md", "内容 " + std::to_string(i)));
    Json reply = call("taskAttach", draft(1), seven);
    EXPECT_EQ(reply["record"]["files"].size(), 5u);
    EXPECT_EQ(reply["record"]["revision"], 2);
    EXPECT_EQ(reply["message"],
        "已添加 4 个附件；f4.md · 每项任务最多 5 个文件；f5.md · 每项任务最多 5 个文件；"
        "f6.md · 每项任务最多 5 个文件");
    EXPECT_EQ(reply["record"]["files"][0]["name"], "first.txt");
    EXPECT_EQ(reply["record"]["files"][4]["name"], "f3.md");
    EXPECT_EQ(reply["record"]["files"][4]["method"], "原文");
}

TEST_F(TaskWorkspaceTest, AttachReportsPerFileProblemsAndWritesNothingWhenNoneAdded)
{
    auto bad = textFile("data.json", "{}");
    Json none = call("taskAttach", draft(0), { bad });
    EXPECT_EQ(none["record"], nullptr);
    EXPECT_EQ(none["message"], "data.json · 请选择文本、PDF、Word、Excel 或图片。");
    EXPECT_FALSE(std::filesystem::exists(taskFile()));

    call("taskAttach", draft(0), { textFile("a.txt", "同样的内容") });
    std::string stored = readFile(taskFile());
    Json payload = draft(1);
    payload["title"] = "changed title is not written";
    Json dup = call("taskAttach", payload, { textFile("copy.txt", "同样的内容"), files / "gone.txt" });
    EXPECT_EQ(dup["record"]["revision"], 1);
    EXPECT_EQ(dup["record"]["title"], "报价");
    std::string message = dup["message"];
    EXPECT_EQ(
        message.rfind("copy.txt · 内容重复；gone.txt · 读取「gone.txt」的文件信息失败：文件或文件夹不存在。", 0), 0u)
        << message;
    EXPECT_EQ(readFile(taskFile()), stored);

    // Two picks with the same content: the second is a duplicate of the first.
    Json twice = call("taskAttach", draft(1), { textFile("x.txt", "x"), textFile("y.txt", "x") });
    EXPECT_EQ(twice["message"], "已添加 1 个附件；y.txt · 内容重复");
}

TEST_F(TaskWorkspaceTest, FileIdsSelectTheKeptAttachments)
{
    call("taskAttach", draft(0), { textFile("a.txt", "A"), textFile("b.txt", "B"), textFile("c.txt", "C") });
    Json keep = draft(1);
    keep["fileIDs"] = { sha256Hex("C"), sha256Hex("A"), "unknown" };
    Json view = call("taskSave", keep);
    ASSERT_EQ(view["files"].size(), 2u);
    EXPECT_EQ(view["files"][0]["name"], "a.txt"); // stored order, not the page's
    EXPECT_EQ(view["files"][1]["name"], "c.txt");

    Json mixed = draft(2);
    mixed["fileIDs"] = { sha256Hex("A"), 7 }; // not an array of strings: keeps them all
    EXPECT_EQ(call("taskSave", mixed)["files"].size(), 2u);
    Json empty = draft(3);
    empty["fileIDs"] = Json::array();
    EXPECT_EQ(call("taskSave", empty)["files"], Json::array());
}

TEST_F(TaskWorkspaceTest, ConfirmRefusesAttachmentsEditedMovedOrDeleted)
{
    const std::string expected = "请返回编辑，移除或重新选择附件「a.txt」。";
    auto attachAndConfirm = [&](const std::string& id, auto&& spoil) {
        auto file = textFile("a.txt", "原始内容 " + id);
        Json payload = draft(0);
        payload["id"] = id;
        call("taskAttach", payload, { file });
        spoil(file);
        std::string message = fails("taskConfirm", { { "id", id }, { "revision", 1 } });
        if (message != "<none>")
            EXPECT_EQ(call("workspaceOpen", Json::object())["records"][0]["revision"], 1) << "nothing written";
        return message;
    };
    EXPECT_EQ(attachAndConfirm(
                  "00000000-0000-4000-8000-000000000001", [](auto& file) { writeFile(file, "edited in place"); }),
        expected);
    EXPECT_EQ(attachAndConfirm("00000000-0000-4000-8000-000000000002",
                  [&](auto& file) { std::filesystem::rename(file, files / "moved.txt"); }),
        expected);
    EXPECT_EQ(
        attachAndConfirm("00000000-0000-4000-8000-000000000003", [](auto& file) { std::filesystem::remove(file); }),
        expected);
    EXPECT_EQ(attachAndConfirm("00000000-0000-4000-8000-000000000004", [](auto&) {}), "<none>");
}

// ---- reading a confirmed task back ----------------------------------------

class ConfirmedTaskTest : public TaskWorkspaceTest {
protected:
    void confirmWith(const std::vector<std::filesystem::path>& picked, Json extra = Json::object())
    {
        Json payload = draft(0);
        for (const auto& item : extra.items())
            payload[item.key()] = item.value();
        call("taskAttach", payload, picked);
        call("taskConfirm", { { "id", kId }, { "revision", 1 } });
    }
};

TEST_F(ConfirmedTaskTest, StartBuildsTheExecutionScope)
{
    call("projectCreate", { { "id", "00000000-0000-4000-8000-0000000000aa" }, { "name", "渠道试点" } });
    confirmWith({ textFile("a.txt", "甲方需求"), textFile("b.md", "# 纪要") },
        { { "project", "project-00000000-0000-4000-8000-0000000000aa" }, { "skill", "销售问答" },
            { "minute", { { "id", kId }, { "digest", std::string(64, 'f') }, { "title", "周会" } } } });
    Json scope = call("taskStart", { { "id", kId }, { "revision", 2 }, { "budgetMicros", 1500 } });
    Json expected = {
        { "model", "deepseek-flash" },
        { "channel", "deepseek-official" },
        { "budgetMicros", 1500 },
        { "revision", 2 },
        { "title", "报价" },
        { "body", "交付一份报价单" },
        { "project", "渠道试点" },
        { "files",
            { { { "name", "a.txt" }, { "digest", sha256Hex("甲方需求") }, { "text", "甲方需求" } },
                { { "name", "b.md" }, { "digest", sha256Hex("# 纪要") }, { "text", "# 纪要" } } } },
        { "skill", "销售问答" },
        { "minute", { { "id", kId }, { "digest", std::string(64, 'f') } } },
    };
    EXPECT_EQ(scope, expected);
    EXPECT_EQ(scope.dump(), expected.dump()) << "key order";
}

TEST_F(ConfirmedTaskTest, StartPreconditionsAndSharedBudget)
{
    confirmWith({ textFile("a.txt", std::string(20000, 'a')), textFile("b.txt", std::string(20000, 'b')) });
    const std::string precondition = "请核对任务版本和执行预算。";
    EXPECT_EQ(fails("taskStart", { { "id", kId }, { "revision", 2 }, { "budgetMicros", 0 } }), precondition);
    EXPECT_EQ(fails("taskStart", { { "id", kId }, { "revision", 2 }, { "budgetMicros", "100" } }), precondition);
    EXPECT_EQ(fails("taskStart", { { "id", kId }, { "revision", 2 }, { "budgetMicros", 100.0 } }), precondition);
    EXPECT_EQ(fails("taskStart", { { "id", kId }, { "revision", 1 }, { "budgetMicros", 100 } }), precondition);
    EXPECT_EQ(fails("taskStart",
                  { { "id", "00000000-0000-4000-8000-000000000009" }, { "revision", 0 }, { "budgetMicros", 100 } }),
        precondition);
    EXPECT_EQ(fails("taskStart", { { "id", kId }, { "revision", 2 }, { "budgetMicros", 100 } }),
        "文件或本次附件摘录超过大小限制，请选择相关摘录。");

    // Each alone fits the budget of one source read.
    EXPECT_EQ(
        call("taskSource", { { "id", kId }, { "revision", 2 }, { "source", 2 } })["text"], std::string(20000, 'b'));
}

TEST_F(ConfirmedTaskTest, SourceRangeAndChangedFile)
{
    auto file = textFile("a.txt", "已确认的内容");
    confirmWith({ file });
    const std::string outside = "资料不在本次已确认范围内。";
    EXPECT_EQ(call("taskSource", { { "id", kId }, { "revision", 2 }, { "source", 1 } }),
        (Json { { "text", "已确认的内容" } }));
    for (Json source : { Json(0), Json(2), Json(1.0), Json("1"), Json(nullptr) })
        EXPECT_EQ(fails("taskSource", { { "id", kId }, { "revision", 2 }, { "source", source } }), outside)
            << source.dump();
    EXPECT_EQ(fails("taskSource", { { "id", kId }, { "revision", 1 }, { "source", 1 } }), outside);

    writeFile(file, "悄悄改过");
    EXPECT_EQ(fails("taskSource", { { "id", kId }, { "revision", 2 }, { "source", 1 } }),
        "附件「a.txt」自确认后已改变，请重新选择资料。");
    EXPECT_EQ(fails("taskStart", { { "id", kId }, { "revision", 2 }, { "budgetMicros", 1 } }),
        "附件「a.txt」自确认后已改变，请重新选择资料。");
    std::filesystem::remove(file);
    EXPECT_EQ(fails("taskStart", { { "id", kId }, { "revision", 2 }, { "budgetMicros", 1 } }),
        "无法读取附件「a.txt」，请重新选择资料。");
}

TEST_F(ConfirmedTaskTest, SourceAndStartOnDraftsAreRefused)
{
    call("taskSave", draft(0));
    EXPECT_EQ(fails("taskSource", { { "id", kId }, { "revision", 1 }, { "source", 1 } }), "资料不在本次已确认范围内。");
    EXPECT_EQ(
        fails("taskStart", { { "id", kId }, { "revision", 1 }, { "budgetMicros", 1 } }), "请核对任务版本和执行预算。");
}

}
}
