#include "sales/SalesEndpoint.h"

#include "base/DesktopError.h"

#include <gtest/gtest.h>

namespace korvid {
namespace {

const char* kID = "0B0C8A6E-4D5F-4C4B-9A59-4F1F0C8E7D21";
const std::string kLower = "0b0c8a6e-4d5f-4c4b-9a59-4f1f0c8e7d21";

std::string failure(const Json& message)
{
    try {
        SalesEndpoint endpoint(message);
    } catch (const DesktopError& error) {
        return error.message;
    }
    return "<no failure>";
}

struct Row {
    const char* action;
    const char* method;
    std::string path;
    std::vector<QueryItem> query;
};

// Every action, given everything it could need: the id, a body and a since.
TEST(SalesEndpoint, EveryActionOfTheTable)
{
    const std::vector<Row> rows = {
        { "agentStatus", "GET", "/v1/desktop/agent/" + kLower, {} },
        { "agentTurn", "POST", "/v1/desktop/agent/" + kLower, {} },
        { "companySave", "PUT", "/v1/companies/" + kLower, {} },
        { "partners", "GET", "/v1/partners", {} },
        { "imports", "GET", "/v1/library/import-history", {} },
        { "opportunities", "GET", "/v1/want/opportunities", { { "bucket", "all" } } },
        { "outcomes", "GET", "/v1/desktop/sales/outcomes", {} },
        { "opportunity", "GET", "/v1/want/opportunities/" + kLower, {} },
        { "opportunitySave", "PUT", "/v1/want/opportunities/" + kLower, {} },
        { "followup", "PATCH", "/v1/want/opportunities/" + kLower + "/followup", {} },
        { "stage", "PATCH", "/v1/want/opportunities/" + kLower + "/stage", {} },
        { "ecoProfiles", "GET", "/v1/desktop/commercial/partners", {} },
        { "ecoSave", "PUT", "/v1/desktop/commercial/partner", {} },
        { "eventSessions", "GET", "/v1/desktop/commercial/sessions", {} },
        { "eventCheck", "POST", "/v1/desktop/commercial/sessions/check", {} },
        { "eventConfirm", "POST", "/v1/desktop/commercial/sessions/confirm", {} },
        { "eventConvert", "POST", "/v1/desktop/commercial/session/convert", {} },
        { "eventNote", "POST", "/v1/desktop/commercial/session/notes", {} },
        { "minutes", "GET", "/v1/desktop/sales/minutes", {} },
        { "minute", "GET", "/v1/desktop/sales/minutes/" + kLower, {} },
        { "archive", "PUT", "/v1/desktop/sales/minutes/" + kLower, {} },
        { "rules", "GET", "/v1/desktop/sales/rules", {} },
        { "ruleSave", "PUT", "/v1/desktop/sales/rules/" + kLower, {} },
        { "trial", "POST", "/v1/desktop/sales/rules/" + kLower + "/trial", {} },
        { "deliveries", "GET", "/v1/desktop/sales/deliveries", {} },
        { "delivery", "GET", "/v1/desktop/sales/deliveries/" + kLower, {} },
        { "feedback", "PATCH", "/v1/desktop/sales/deliveries/" + kLower, {} },
        { "evidence", "GET", "/v1/opportunity-evidence", {} },
        { "conversations", "GET", "/v1/want/conversations", {} },
        { "conversation", "GET", "/v1/want/conversations/" + kLower, {} },
        { "turnSave", "PUT", "/v1/want/conversations/" + kLower, {} },
        { "ask", "POST", "/v1/want/ask", {} },
    };
    Json body { { "k", "v" }, { "n", 1 } };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.action);
        SalesEndpoint endpoint(Json { { "op", "sales" }, { "action", row.action }, { "id", kID }, { "body", body } });
        EXPECT_EQ(endpoint.method, row.method);
        EXPECT_EQ(endpoint.path, row.path);
        EXPECT_EQ(endpoint.query, row.query);
        if (std::string(row.method) == "GET")
            EXPECT_FALSE(endpoint.body);
        else
            EXPECT_EQ(endpoint.body, body);
    }

    // The two plain-id rows and the library (the other 3 of the 35).
    SalesEndpoint profile(Json { { "action", "ecoProfile" }, { "id", "abc" } });
    EXPECT_EQ(profile.path, "/v1/desktop/commercial/partner");
    EXPECT_EQ(profile.query, (std::vector<QueryItem> { { "id", "abc" } }));
    SalesEndpoint session(Json { { "action", "eventSession" }, { "id", "abc" } });
    EXPECT_EQ(session.path, "/v1/desktop/commercial/session");
    EXPECT_EQ(session.query, (std::vector<QueryItem> { { "id", "abc" } }));
    EXPECT_EQ(session.method, "GET");
    SalesEndpoint library(Json { { "action", "library" } });
    EXPECT_EQ(library.path, "/v1/library");
    EXPECT_EQ(library.query, (std::vector<QueryItem> { { "view", "directory" } }));
}

TEST(SalesEndpoint, FailuresInOrder)
{
    EXPECT_EQ(failure(Json { { "op", "sales" } }), "不支持此销售操作。");
    EXPECT_EQ(failure(Json { { "action", 5 } }), "不支持此销售操作。");
    EXPECT_EQ(failure(Json { { "action", "Minutes" } }), "不支持此销售操作。");
    EXPECT_EQ(failure(Json { { "action", "nope" } }), "不支持此销售操作。"); // unknown and no body
    EXPECT_EQ(failure(Json::array()), "不支持此销售操作。");

    // The id is checked before the body.
    EXPECT_EQ(failure(Json { { "action", "followup" }, { "id", "x" } }), "无效的记录标识。");
    EXPECT_EQ(failure(Json { { "action", "followup" } }), "无效的记录标识。");
    EXPECT_EQ(failure(Json { { "action", "opportunity" }, { "id", 7 } }), "无效的记录标识。");
    EXPECT_EQ(failure(Json { { "action", "opportunity" }, { "id", std::string(kID) + " " } }), "无效的记录标识。");
    EXPECT_EQ(failure(Json { { "action", "followup" }, { "id", kID } }), "缺少操作内容。");
    EXPECT_EQ(failure(Json { { "action", "followup" }, { "id", kID }, { "body", Json::array() } }), "缺少操作内容。");
    EXPECT_EQ(failure(Json { { "action", "ask" }, { "body", "text" } }), "缺少操作内容。");

    EXPECT_EQ(failure(Json { { "action", "eventSession" } }), "缺少记录标识。");
    EXPECT_EQ(failure(Json { { "action", "eventSession" }, { "id", "" } }), "缺少记录标识。");
    EXPECT_EQ(failure(Json { { "action", "ecoProfile" }, { "id", 3 } }), "缺少记录标识。");
}

TEST(SalesEndpoint, PlainIDLimitCountsUtf16Units)
{
    std::string at120;
    for (int i = 0; i < 60; ++i)
        at120 += "😀"; // two units each
    EXPECT_EQ(SalesEndpoint(Json { { "action", "eventSession" }, { "id", at120 } }).query[0].value, at120);
    EXPECT_EQ(failure(Json { { "action", "eventSession" }, { "id", at120 + "a" } }), "缺少记录标识。");
    EXPECT_EQ(failure(Json { { "action", "eventSession" }, { "id", std::string(121, 'a') } }), "缺少记录标识。");
}

TEST(SalesEndpoint, GetIgnoresAGivenBody)
{
    SalesEndpoint minutes(Json { { "action", "minutes" }, { "body", { { "a", 1 } } } });
    EXPECT_EQ(minutes.method, "GET");
    EXPECT_FALSE(minutes.body);
    EXPECT_TRUE(minutes.query.empty());
}

TEST(SalesEndpoint, LibrarySince)
{
    SalesEndpoint withSince(Json { { "action", "library" }, { "since", "2024-05-01T08:30:00.000Z" } });
    EXPECT_EQ(
        withSince.query, (std::vector<QueryItem> { { "view", "directory" }, { "since", "2024-05-01T08:30:00.000Z" } }));
    SalesEndpoint offset(Json { { "action", "library" }, { "since", "2024-05-01T08:30:00.5+08:00" } });
    EXPECT_EQ(offset.query.back().value, "2024-05-01T08:30:00.5+08:00"); // unchanged, not re-formatted
    SalesEndpoint number(Json { { "action", "library" }, { "since", 5 } });
    EXPECT_EQ(number.query, (std::vector<QueryItem> { { "view", "directory" } }));

    EXPECT_EQ(failure(Json { { "action", "library" }, { "since", "2024-05-01T08:30:00Z" } }), "关系库同步时间无效。");
    EXPECT_EQ(failure(Json { { "action", "library" }, { "since", "2024-05-01T08:30:00.0000000000Z" } }),
        "关系库同步时间无效。"); // 31
    EXPECT_EQ(failure(Json { { "action", "library" }, { "since", "" } }), "关系库同步时间无效。");
    EXPECT_EQ(
        failure(Json { { "action", "library" }, { "since", "2024-02-30T08:30:00.000Z" } }), "关系库同步时间无效。");
}

TEST(SalesEndpointDirectory, ProjectsKnownFieldsAndTombstones)
{
    std::string reply = R"({
        "serverTime": "2024-05-01T08:30:00.000Z",
        "companies": [
            {"id": "c1", "name": "甲", "phone": "010", "isTarget": true, "unsure": null},
            {"id": "c2", "deleted": true, "name": "乙"},
            {"id": "c3", "deleted": "yes", "kind": "x"},
            {"deleted": true}
        ],
        "contacts": [
            {"id": "p1", "companyID": "c1", "name": "张", "title": "经理", "mobile": "1"},
            {"id": 9, "deleted": true}
        ],
        "extra": 1
    })";
    Json full = SalesEndpoint::directory(reply, false);
    EXPECT_EQ(full, Json::parse(R"({
        "serverTime": "2024-05-01T08:30:00.000Z",
        "companies": [{"id": "c1", "name": "甲", "isTarget": true, "unsure": null}, {"id": "c3", "kind": "x"}],
        "contacts": [{"id": "p1", "companyID": "c1", "name": "张", "title": "经理"}]
    })"));
    std::vector<std::string> keys;
    for (auto& [key, value] : full.items())
        keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string> { "serverTime", "companies", "contacts" }));

    Json incremental = SalesEndpoint::directory(reply, true);
    EXPECT_EQ(incremental["companies"], Json::parse(R"([
        {"id": "c1", "name": "甲", "isTarget": true, "unsure": null},
        {"id": "c2", "deleted": true},
        {"id": "c3", "kind": "x"}
    ])"));
    EXPECT_EQ(incremental["contacts"].size(), 1u); // a deleted row without a string id is dropped
}

TEST(SalesEndpointDirectory, RefusesOtherShapes)
{
    EXPECT_EQ(SalesEndpoint::directory(R"({"companies":[],"contacts":[]})", false)["serverTime"], Json(nullptr));
    for (const char* bad : { "[]", "5", R"({"companies":[]})", R"({"companies":[1],"contacts":[]})",
             R"({"companies":{},"contacts":[]})" }) {
        try {
            SalesEndpoint::directory(bad, false);
            ADD_FAILURE() << bad;
        } catch (const DesktopError& error) {
            EXPECT_EQ(error.message, "关系库数据格式异常，请重新读取。") << bad;
        }
    }
    try {
        SalesEndpoint::directory("{oops", false);
        ADD_FAILURE();
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.message, "服务端返回的关系库数据无法解析，请重新读取。");
    }
}

}
}
