#include "tasks/StoreCoding.h"

#include "base/DesktopError.h"
#include "tasks/Base64.h"
#include "tasks/tests/TestSupport.h"

#include <gtest/gtest.h>

namespace korvid {
namespace {

using testing::errorOf;

TEST(StoreCodingTest, RecordRoundTripKeepsEveryField)
{
    TaskWorkspace::Record record;
    record.id = "6f1c2a4e-0b7d-4c1e-9a3b-2d5e8f7a9c10";
    record.title = "报价 \"引号\"";
    record.body = "第一行\n第二行";
    record.project = "project-00000000-0000-4000-8000-000000000001";
    record.skill = "项目周报";
    record.minute = TaskWorkspace::MinuteRef { "ABCDEF01-0000-4000-8000-000000000000", std::string(64, 'a'), "周会" };
    record.attachments.push_back({ "a.pdf", std::string(64, 'b'), std::string("\0\x01\xFFKVBM", 7), "摘录", "PDF" });
    record.attachments.push_back({ "b.txt", std::string(64, 'c'), "bm", std::nullopt, std::nullopt });
    record.revision = 9007199254740993; // beyond a double's exact integers
    record.confirmed = true;
    record.updatedAt = 764669109.123456;

    std::string bytes = StoreCoding::encodeRecord(record);
    EXPECT_EQ(StoreCoding::decodeRecord(bytes, "t.json"), record);
    EXPECT_EQ(bytes.find('\n'), std::string::npos) << "compact";
    Json json = Json::parse(bytes);
    EXPECT_EQ(json["attachments"][0]["bookmark"], base64Encode(std::string("\0\x01\xFFKVBM", 7)));
    EXPECT_FALSE(json["attachments"][1].contains("excerpt"));
    EXPECT_FALSE(json["attachments"][1].contains("method"));
    EXPECT_TRUE(json["revision"].is_number_integer());
    EXPECT_TRUE(json["updatedAt"].is_number_float());
}

TEST(StoreCodingTest, UpdatedAtIsSecondsSince2001)
{
    TaskWorkspace::Record record;
    record.updatedAt = 0;
    EXPECT_EQ(Json::parse(StoreCoding::encodeRecord(record))["updatedAt"].get<double>(), 0.0);
    record.updatedAt = -978307200; // the Unix epoch
    EXPECT_EQ(Json::parse(StoreCoding::encodeRecord(record))["updatedAt"].get<double>(), -978307200.0);

    // Whole numbers written by others are numbers too.
    auto decoded = StoreCoding::decodeRecord(
        R"({"id":"x","title":"","body":"","project":"","skill":"","revision":1,"confirmed":false,"updatedAt":12})",
        "t");
    EXPECT_EQ(decoded.updatedAt, 12.0);
    EXPECT_TRUE(decoded.attachments.empty()) << "absent attachments mean none";
    EXPECT_FALSE(decoded.minute);
}

TEST(StoreCodingTest, ProjectsRoundTripWithoutEmptyOptionals)
{
    std::vector<TaskWorkspace::Project> projects {
        { "project-a", "甲", std::nullopt, std::nullopt },
        { "project-b", "乙", "目标", "c-9" },
    };
    std::string bytes = StoreCoding::encodeProjects(projects);
    EXPECT_EQ(
        bytes, R"([{"id":"project-a","name":"甲"},{"id":"project-b","name":"乙","goal":"目标","companyId":"c-9"}])");
    EXPECT_EQ(StoreCoding::decodeProjects(bytes, "projects.json"), projects);

    EXPECT_EQ(StoreCoding::decodeProjects(R"([{"id":"p","name":"n","goal":null,"extra":[1]}])", "projects.json"),
        (std::vector<TaskWorkspace::Project> { { "p", "n", std::nullopt, std::nullopt } }));
    for (const char* bad :
        { R"({"id":"p","name":"n"})", R"([{"id":"p"}])", R"([{"id":"p","name":"n","goal":5}])", R"([1])", "[" }) {
        std::string message = errorOf([&] { StoreCoding::decodeProjects(bad, "projects.json"); });
        EXPECT_EQ(message.rfind("无法解读「projects.json」：", 0), 0u) << bad << " → " << message;
    }
}

TEST(StoreCodingTest, DecodingNamesTheFaultyKey)
{
    const std::string base = R"("id":"x","title":"","body":"","project":"","skill":"","confirmed":false,"updatedAt":1)";
    EXPECT_EQ(errorOf([&] { StoreCoding::decodeRecord("{" + base + R"(,"revision":"2"})", "task-x.json"); }),
        "无法解读「task-x.json」：“revision”的类型不对。");
    EXPECT_EQ(errorOf([&] { StoreCoding::decodeRecord("{" + base + "}", "task-x.json"); }),
        "无法解读「task-x.json」：缺少“revision”。");
    EXPECT_EQ(errorOf([&] { StoreCoding::decodeRecord("{" + base + R"(,"revision":18446744073709551615})", "t"); }),
        "无法解读「t」：“revision”超出范围。");
    EXPECT_EQ(errorOf([&] { StoreCoding::decodeRecord("{" + base + R"(,"revision":1,"minute":{"id":"m"}})", "t"); }),
        "无法解读「t」：缺少“digest”。");
    EXPECT_EQ(errorOf([&] { StoreCoding::decodeRecord("{" + base + R"(,"revision":1,"attachments":[5]})", "t"); }),
        "无法解读「t」：附件不是 JSON 对象。");
}

TEST(StoreCodingTest, Base64IsStrictStandardWithPadding)
{
    for (std::string bytes : { std::string(), std::string("f"), std::string("fo"), std::string("foo"),
             std::string("foob"), std::string("\0\xFF\x10", 3) })
        EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes);
    EXPECT_EQ(base64Encode("foob"), "Zm9vYg==");
    EXPECT_FALSE(base64Decode("Zm9vYg"));
    EXPECT_FALSE(base64Decode("Zm9v\nYg=="));
    EXPECT_FALSE(base64Decode("Zm=vYg=="));
    EXPECT_FALSE(base64Decode("Zm9-"));
}

}
}
