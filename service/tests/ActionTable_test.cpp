// Every sales action the desktop client may send, built by the client's own
// endpoint table, is answered by the local experience service: the table and
// the service's routes cannot drift apart unnoticed.
#include "sales/SalesEndpoint.h"
#include "service/SeedData.h"
#include "service/tests/ServiceFixture.h"

#include <map>

namespace korvid::test {

namespace {

using ActionTableTest = ServiceTest;

std::string seed(int kind, int n = 1)
{
    return SeedData::seedId(kind, n);
}

std::string encoded(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        }
    }
    return out;
}

TEST_F(ActionTableTest, EveryActionOfTheClientIsAnsweredWithSeedRecords)
{
    const std::string agent = "9a8b7c6d-0000-4000-8000-0000000000a1";
    // The record each action is sent for, and a body the service accepts.
    const std::map<std::string, Json> messages {
        { "agentStatus", { { "id", agent } } },
        { "agentTurn", { { "id", agent }, { "body", { { "text", "整理本周纪要" } } } } },
        { "library", { { "since", "2024-01-01T00:00:00.000Z" } } },
        { "companySave", { { "id", seed(SeedData::Company) }, { "body", { { "introNote", "更新的简介" } } } } },
        { "opportunity", { { "id", seed(SeedData::Opportunity) } } },
        { "opportunitySave", { { "id", seed(SeedData::Opportunity) }, { "body", { { "nextStep", "约评审" } } } } },
        { "followup", { { "id", seed(SeedData::Opportunity) }, { "body", { { "note", "电话确认预算" } } } } },
        { "stage", { { "id", seed(SeedData::Opportunity) }, { "body", { { "stage", "negotiation" } } } } },
        { "ecoProfile", { { "id", "partner-001" } } },
        { "ecoSave", { { "body", { { "id", "partner-001" }, { "notes", "季度复盘" } } } } },
        { "eventSession", { { "id", "session-001" } } },
        { "eventCheck", { { "body", { { "id", "session-001" } } } } },
        { "eventConfirm", { { "body", { { "id", "session-001" }, { "attendeeIDs", { "attendee-1" } } } } } },
        { "eventConvert", { { "body", { { "id", "session-001" }, { "attendeeID", "attendee-2" } } } } },
        { "eventNote", { { "body", { { "id", "session-001" }, { "text", "现场记录" } } } } },
        { "minute", { { "id", seed(SeedData::Minute) } } },
        { "archive", { { "id", seed(SeedData::Minute, 3) }, { "body", Json::object() } } },
        { "ruleSave", { { "id", seed(SeedData::Rule) }, { "body", { { "enabled", true } } } } },
        { "trial", { { "id", seed(SeedData::Rule) }, { "body", { { "text", "今年预算已立项" } } } } },
        { "delivery", { { "id", seed(SeedData::Delivery) } } },
        { "feedback", { { "id", seed(SeedData::Delivery) }, { "body", { { "rating", 4 } } } } },
        { "conversation", { { "id", seed(SeedData::Conversation) } } },
        { "turnSave",
            { { "id", seed(SeedData::Conversation) },
                { "body", { { "role", "user" }, { "text", "下一步怎么推进？" } } } } },
        { "ask", { { "body", { { "question", "产线数据采集平台二期怎么推进？" } } } } },
    };

    auto names = SalesEndpoint::actionNames();
    ASSERT_EQ(names.size(), 35u);
    for (const auto& name : names) {
        Json message = messages.count(name) ? messages.at(name) : Json::object();
        message["action"] = name;
        SalesEndpoint endpoint(message);
        std::string target = endpoint.path;
        for (std::size_t i = 0; i < endpoint.query.size(); ++i)
            target += (i ? "&" : "?") + encoded(endpoint.query[i].name) + "=" + encoded(endpoint.query[i].value);
        httplib::Headers headers;
        if (name == "agentTurn")
            headers.emplace("X-Turn", "9a8b7c6d-0000-4000-8000-0000000000b2");
        Reply reply = service->send(endpoint.method, target, token,
            endpoint.body ? std::optional<std::string>(endpoint.body->dump()) : std::nullopt, headers);
        EXPECT_NE(reply.status, 404) << name << " " << endpoint.method << " " << target;
        EXPECT_NE(reply.status, 405) << name << " " << endpoint.method << " " << target;
        EXPECT_EQ(reply.status, 200) << name << " " << endpoint.method << " " << target << ": "
                                     << reply.raw.substr(0, 200);
    }
}

}

}
