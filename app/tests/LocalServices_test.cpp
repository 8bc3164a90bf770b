// The host with the real task workspace, attachments and excerpt readers
// behind it: page messages travel through the bridge, the task queue and the
// files on disk, and the start of a brief reaches a loopback service.
#include "app/LocalServices.h"
#include "host/tests/HostFixture.h"
#include "tasks/TaskWorkspace.h"

#include <fstream>

namespace korvid::testing {
namespace {

const char* kTask = "5E2B9C1A-7D4F-4A8B-9C3D-2F1E0A9B8C7D";
const char* kTaskLower = "5e2b9c1a-7d4f-4a8b-9c3d-2f1e0a9b8c7d";

class LocalServicesTest : public HostTest {
protected:
    LocalServicesTest()
    {
        folder = settingsFolder.parent_path() / (settingsFolder.filename().string() + "-files");
        std::filesystem::create_directories(folder);
        connectLocalServices(*bridge, std::make_shared<TaskWorkspace>(folder / "TaskWorkspace"));
    }
    ~LocalServicesTest() override { std::filesystem::remove_all(folder); }

    std::filesystem::path write(const std::string& name, const std::string& content)
    {
        auto path = folder / name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    void choose(std::vector<std::filesystem::path> files)
    {
        bridge->tasks.selectTaskFiles
            = [files](std::function<void(std::vector<std::filesystem::path>)> done) { done(files); };
        bridge->machine.selectEventFile = [files](std::function<void(std::optional<std::filesystem::path>)> done) {
            done(files.empty() ? std::nullopt : std::optional(files.front()));
        };
    }

    static Json task(const char* op, std::int64_t revision, Json extra = Json::object())
    {
        Json body { { "op", op }, { "owner", "account-1" }, { "id", kTask }, { "revision", revision },
            { "title", "报价" }, { "body", "整理华东渠道的报价单" }, { "skill", "" }, { "project", "" } };
        for (auto& [key, value] : extra.items())
            body[key] = value;
        return body;
    }

    Json value(Json body)
    {
        auto outcome = call(std::move(body));
        EXPECT_FALSE(outcome.error) << *outcome.error;
        return outcome.value.value_or(Json());
    }

    std::filesystem::path folder;
};

TEST_F(LocalServicesTest, DraftAttachConfirmAndStartThroughTheBridge)
{
    EXPECT_EQ(value({ { "op", "workspaceOpen" }, { "owner", "account-1" } }),
        (Json { { "projects", Json::array() }, { "records", Json::array() } }));

    Json saved = value(task("taskSave", 0));
    EXPECT_EQ(saved["id"], kTaskLower);
    EXPECT_EQ(saved["revision"], 1);

    choose({ write("纪要.txt", "客户希望下周给出报价。") });
    Json attached = value(task("taskAttach", 1));
    ASSERT_TRUE(attached["record"].is_object()) << attached.dump();
    EXPECT_EQ(attached["record"]["revision"], 2);
    EXPECT_EQ(attached["record"]["files"].size(), 1u);

    Json confirmed = value(task("taskConfirm", 2));
    EXPECT_EQ(confirmed["confirmed"], true);

    service.answer("GET /v1/desktop/briefs/" + std::string(kTaskLower), 200, R"({"state":"unstarted"})");
    service.answer("POST /v1/desktop/briefs/" + std::string(kTaskLower), 200, R"({"state":"running"})");
    Json started = value(task("taskStart", 3, { { "budgetMicros", 2000000 } }));
    EXPECT_EQ(started, (Json { { "state", "running" } }));

    auto received = service.received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[1].header("X-Turn"), kTaskLower);
    Json scope = Json::parse(received[1].body);
    EXPECT_NE(scope.dump().find("客户希望下周给出报价。"), std::string::npos) << scope.dump();

    Json reopened = value({ { "op", "workspaceOpen" }, { "owner", "account-1" } });
    ASSERT_EQ(reopened["records"].size(), 1u);
    EXPECT_EQ(reopened["records"][0]["confirmed"], true);
}

// Each task row reaches its own entry of the workspace: a project created
// through the bridge is listed and can hold a task, and a confirmed task's
// file is read back by its number.
TEST_F(LocalServicesTest, ProjectsAndSourcesThroughTheBridge)
{
    const char* projectID = "1A2B3C4D-5E6F-4A1B-8C2D-3E4F5A6B7C8D";
    Json project
        = value({ { "op", "projectCreate" }, { "owner", "account-1" }, { "id", projectID }, { "name", "华东渠道" } });
    EXPECT_EQ(project["name"], "华东渠道");
    std::string projectKey = project["id"].get<std::string>();
    Json listed = value({ { "op", "workspaceOpen" }, { "owner", "account-1" } });
    ASSERT_EQ(listed["projects"].size(), 1u);
    EXPECT_EQ(listed["projects"][0]["id"], projectKey);

    value(task("taskSave", 0, { { "project", projectKey } }));
    choose({ write("报价.txt", "单价九折，含安装。") });
    value(task("taskAttach", 1, { { "project", projectKey } }));
    value(task("taskConfirm", 2, { { "project", projectKey } }));
    EXPECT_EQ(value(task("taskSource", 3, { { "source", 1 } })), (Json { { "text", "单价九折，含安装。" } }));
    expectError(call(task("taskSource", 3, { { "source", 2 } })), "资料不在本次已确认范围内。");
}

TEST_F(LocalServicesTest, StartOfAnUnconfirmedTaskReportsTheWorkspaceReason)
{
    value(task("taskSave", 0));
    service.answer("GET /v1/desktop/briefs/" + std::string(kTaskLower), 200, R"({"state":"unstarted"})");
    Json reply = value(task("taskStart", 1, { { "budgetMicros", 1 } }));
    EXPECT_EQ(reply["state"], "unstarted");
    ASSERT_TRUE(reply["scopeError"].is_string());
    EXPECT_FALSE(reply["scopeError"].get<std::string>().empty());
    EXPECT_EQ(service.count(), 1u) << "nothing is started";
}

TEST_F(LocalServicesTest, MeetingFileReadsOneMinutesFileWithinItsLimit)
{
    choose({ write("周会.md", std::string(8000, 'a')) });
    EXPECT_EQ(value({ { "op", "meetingFile" }, { "owner", "account-1" } }),
        (Json { { "text", std::string(8000, 'a') }, { "name", "周会" } }));

    choose({ write("长纪要.md", std::string(8001, 'a')) });
    expectError(call({ { "op", "meetingFile" }, { "owner", "account-1" } }), "单份纪要限 8000 字符，请选择会议摘录。");

    choose({ write("data.json", "{}") });
    expectError(call({ { "op", "meetingFile" }, { "owner", "account-1" } }), "请选择文本、PDF、Word、Excel 或图片。");
}

TEST_F(LocalServicesTest, EventFileGivesTheExcerptRecord)
{
    choose({ write("海报.TXT", "春季发布会 3 月 12 日") });
    Json record = value({ { "op", "eventFile" }, { "owner", "account-1" } });
    EXPECT_EQ(record["name"], "海报.TXT");
    EXPECT_EQ(record["excerpt"], "春季发布会 3 月 12 日");
    EXPECT_EQ(record["method"], "本机文本");
    EXPECT_EQ(record["digest"].get<std::string>().size(), 64u);

    choose({ write("poster.gif", "GIF89a") });
    expectError(call({ { "op", "eventFile" }, { "owner", "account-1" } }), "文件格式不支持。");
}

}
}
