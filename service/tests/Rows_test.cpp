// Lists that only grow (follow-ups, stage history, session notes,
// conversation turns) kept as rows: same replies, databases written before
// moved over once, concurrent appends each answered with their own view; and
// the dates and CSV cells the sales desk writes.
#include "service/Database.h"
#include "service/SeedData.h"
#include "service/ServiceStore.h"
#include "service/tests/ServiceFixture.h"

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace korvid::test {

namespace {

using RowsTest = ServiceTest;

std::string opportunity(int n)
{
    return SeedData::seedId(SeedData::Opportunity, n);
}
std::string conversation(int n)
{
    return SeedData::seedId(SeedData::Conversation, n);
}

std::int64_t count(Database& db, const std::string& sql)
{
    Statement query(db, sql);
    query.step();
    return query.integer(0);
}

// Everything the pages read that carries a growing list, raw.
std::vector<std::pair<std::string, std::string>> readings(RunningService& service, const std::string& token)
{
    std::vector<std::string> paths { "/v1/want/opportunities", "/v1/want/opportunities?bucket=open",
        "/v1/want/conversations", "/v1/desktop/commercial/sessions", "/v1/desktop/commercial/session?id=session-001",
        "/v1/companies/" + SeedData::seedId(SeedData::Company, 1) + "/opportunities" };
    for (int n = 1; n <= 3; ++n)
        paths.push_back("/v1/want/opportunities/" + opportunity(n));
    paths.push_back("/v1/want/conversations/" + conversation(1));
    std::vector<std::pair<std::string, std::string>> read;
    for (const auto& path : paths) {
        Reply reply = service.get(path, token);
        EXPECT_EQ(reply.status, 200) << path << reply.raw;
        read.emplace_back(path, reply.raw);
    }
    return read;
}

TEST_F(RowsTest, AppendedItemsComeBackInTheRecordsOwnShape)
{
    std::string path = "/v1/want/opportunities/" + opportunity(2);
    Json before = service->get(path, token).body;
    Reply followed = service->patch(path + "/followup", token,
        Json { { "note", "第一次上门" }, { "nextStep", "准备报价" }, { "dueDate", "2026-05-06" } });
    ASSERT_EQ(followed.status, 200) << followed.raw;

    // What the record was, with the one follow-up added and the fields set,
    // key for key and in the same order.
    Json expected = before;
    expected["followups"].push_back(followed.body["followups"].back());
    expected["nextStep"] = "准备报价";
    expected["dueDate"] = "2026-05-06";
    expected["updatedAt"] = followed.body["updatedAt"];
    EXPECT_EQ(followed.raw, expected.dump());
    EXPECT_EQ(followed.body["followups"].back()["note"], "第一次上门");
    EXPECT_EQ(service->get(path, token).raw, followed.raw);

    std::string next = before["stage"] == "proposal" ? "negotiation" : "proposal";
    Reply staged = service->patch(path + "/stage", token, Json { { "stage", next } });
    ASSERT_EQ(staged.status, 200);
    EXPECT_EQ(staged.body["stageHistory"].size(), before["stageHistory"].size() + 1);
    EXPECT_EQ(staged.body["stageHistory"].back()["stage"], next);
    EXPECT_EQ(staged.body["followups"], followed.body["followups"]);

    // The summaries count and show the newest follow-up without the lists.
    Json summaries = service->get("/v1/want/opportunities", token).body["items"];
    int seen = 0;
    for (const Json& item : summaries) {
        if (item["id"] != opportunity(2))
            continue;
        ++seen;
        EXPECT_EQ(item["followupCount"], staged.body["followups"].size());
        EXPECT_EQ(item["lastFollowup"], staged.body["followups"].back());
        EXPECT_FALSE(item.contains("followups"));
        EXPECT_FALSE(item.contains("stageHistory"));
    }
    EXPECT_EQ(seen, 1);

    // A new conversation, then a second turn; the list summarises both.
    std::string fresh = "7a1f0c2e-1111-4222-8333-444455556666";
    ASSERT_EQ(
        service->put("/v1/want/conversations/" + fresh, token, Json { { "role", "user" }, { "text", "怎么报价？" } })
            .status,
        200);
    Reply second = service->put(
        "/v1/want/conversations/" + fresh, token, Json { { "role", "assistant" }, { "text", "先拆分一期。" } });
    ASSERT_EQ(second.body["turns"].size(), 2u);
    EXPECT_EQ(second.body["turns"][0]["text"], "怎么报价？");
    Json listed;
    Json conversations = service->get("/v1/want/conversations", token).body["items"];
    for (const Json& item : conversations)
        if (item["id"] == fresh)
            listed = item;
    EXPECT_EQ(listed["turnCount"], 2);
    EXPECT_EQ(listed["lastText"], "先拆分一期。");

    // A session note: the reply and the session list carry it.
    Reply noted = service->post(
        "/v1/desktop/commercial/session/notes", token, Json { { "id", "session-002" }, { "text", "午餐会确认" } });
    ASSERT_EQ(noted.status, 200);
    ASSERT_EQ(noted.body["notes"].size(), 1u);
    Json sessions = service->get("/v1/desktop/commercial/sessions", token).body["items"];
    seen = 0;
    for (const Json& item : sessions) {
        if (item["id"] == "session-002") {
            ++seen;
            EXPECT_EQ(item["notes"], noted.body["notes"]);
        }
    }
    EXPECT_EQ(seen, 1);
}

TEST(RowsStorageTest, DatabaseWithListsInsideDocumentsIsMovedToRowsOnceWithTheSameReplies)
{
    ScratchFolder folder;
    std::vector<std::pair<std::string, std::string>> first;
    std::string token;
    std::int64_t items = 0;
    {
        RunningService service(ServiceTest::options(folder.path()));
        token = service.signIn();
        // One record with many items, so order is checked beyond the seed's few.
        for (int i = 0; i < 30; ++i)
            ASSERT_EQ(service
                          .patch("/v1/want/opportunities/" + opportunity(1) + "/followup", token,
                              Json { { "note", "第 " + std::to_string(i) + " 次跟进" } })
                          .status,
                200);
        first = readings(service, token);
    }
    {
        // Rewrite the file as it was before lists became rows: each record
        // whole in its document, and no table of items.
        Database db(folder.path() / ServiceStore::kFileName);
        items = count(db, "SELECT count(*) FROM document_items");
        ASSERT_GT(items, 100);
        std::vector<std::pair<std::string, Json>> whole;
        {
            RunningService reader(ServiceTest::options(folder.path()));
            Statement kinds(
                db, "SELECT kind, id FROM documents WHERE kind IN ('opportunity', 'eventSession', 'conversation')");
            while (kinds.step()) {
                std::string kind = kinds.text(0), id = kinds.text(1);
                std::string path = kind == "opportunity" ? "/v1/want/opportunities/" + id
                    : kind == "conversation"             ? "/v1/want/conversations/" + id
                                                         : "/v1/desktop/commercial/session?id=" + id;
                Reply reply = reader.get(path, token);
                ASSERT_EQ(reply.status, 200) << path;
                whole.emplace_back(kind + "\n" + id, reply.body);
            }
        }
        Statement write(db, "UPDATE documents SET body = ? WHERE kind = ? AND id = ?");
        for (const auto& [key, body] : whole) {
            std::size_t cut = key.find('\n');
            write.bind(1, body.dump()).bind(2, key.substr(0, cut)).bind(3, key.substr(cut + 1)).run();
        }
        db.exec("DROP TABLE document_items; DELETE FROM meta WHERE key = 'listsAsRows';");
    }
    for (int round = 0; round < 2; ++round) {
        RunningService service(ServiceTest::options(folder.path()));
        EXPECT_EQ(readings(service, token), first) << "round " << round;
        Database db(folder.path() / ServiceStore::kFileName);
        EXPECT_EQ(count(db, "SELECT count(*) FROM document_items"), items) << "round " << round;
        EXPECT_EQ(count(db,
                      "SELECT count(*) FROM documents WHERE body LIKE '%\"followups\":[{%' "
                      "OR body LIKE '%\"turns\":[{%' OR body LIKE '%\"notes\":[{%'"),
            0);
    }

    // Appending after the move continues the old list.
    RunningService service(ServiceTest::options(folder.path()));
    Reply followed = service.patch(
        "/v1/want/opportunities/" + opportunity(1) + "/followup", token, Json { { "note", "迁移后的跟进" } });
    ASSERT_EQ(followed.status, 200);
    Json old = Json::parse(first[6].second);
    ASSERT_EQ(followed.body["followups"].size(), old["followups"].size() + 1);
    EXPECT_EQ(followed.body["followups"][29], old["followups"][29]);
    EXPECT_EQ(followed.body["followups"].back()["note"], "迁移后的跟进");
}

TEST_F(RowsTest, AReplyNamingTwoRecordsCarriesBothTheirListsAsTheyAreStored)
{
    ASSERT_EQ(service
                  ->post("/v1/desktop/commercial/session/notes", token,
                      Json { { "id", "session-001" }, { "text", "展位来访较多" } })
                  .status,
        200);
    Reply converted = service->post("/v1/desktop/commercial/session/convert", token,
        Json { { "id", "session-001" }, { "attendeeID", "attendee-1" } });
    ASSERT_EQ(converted.status, 200) << converted.raw;
    std::string opportunityID = converted.body["opportunity"]["id"];
    ASSERT_EQ(
        service->patch("/v1/want/opportunities/" + opportunityID + "/followup", token, Json { { "note", "已回访" } })
            .status,
        200);

    // Converting again answers with both records as they now read.
    Reply again = service->post("/v1/desktop/commercial/session/convert", token,
        Json { { "id", "session-001" }, { "attendeeID", "attendee-1" } });
    ASSERT_EQ(again.status, 200);
    Json session = service->get("/v1/desktop/commercial/session?id=session-001", token).body;
    Json opportunity = service->get("/v1/want/opportunities/" + opportunityID, token).body;
    EXPECT_EQ(again.raw, (Json { { "session", session }, { "opportunity", opportunity } }).dump());
    EXPECT_EQ(session["notes"].back()["text"], "展位来访较多");
    EXPECT_EQ(opportunity["followups"].size(), 1u);
    EXPECT_EQ(opportunity["stageHistory"].size(), 1u);
    EXPECT_EQ(again.header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(again.header("Cache-Control"), "no-store");
}

TEST_F(RowsTest, ConcurrentAppendsAreAllKeptAndEachReplyEndsWithItsOwnItem)
{
    std::string path = "/v1/want/opportunities/" + opportunity(3);
    std::size_t before = service->get(path, token).body["followups"].size();
    constexpr int kClients = 8, kEach = 12;
    std::vector<std::thread> clients;
    std::atomic<int> failures { 0 };
    std::mutex seenMutex;
    std::set<std::size_t> sizes;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (int i = 0; i < kEach; ++i) {
                std::string note = "并发 " + std::to_string(c) + "-" + std::to_string(i);
                Reply reply = service->patch(path + "/followup", token, Json { { "note", note } });
                if (reply.status != 200 || reply.body["followups"].back()["note"] != note) {
                    ++failures;
                    continue;
                }
                std::lock_guard lock(seenMutex);
                sizes.insert(reply.body["followups"].size());
            }
        });
    }
    for (auto& client : clients)
        client.join();
    EXPECT_EQ(failures.load(), 0);
    // Every reply saw the list as of its own write: sizes before+1 .. before+N.
    EXPECT_EQ(sizes.size(), static_cast<std::size_t>(kClients * kEach));
    EXPECT_EQ(*sizes.begin(), before + 1);
    Json after = service->get(path, token).body;
    ASSERT_EQ(after["followups"].size(), before + kClients * kEach);
    std::set<std::string> ids;
    for (const Json& item : after["followups"])
        ids.insert(item["id"].get<std::string>());
    EXPECT_EQ(ids.size(), after["followups"].size());
}

TEST_F(RowsTest, DaysTheCalendarDoesNotHaveAreRefused)
{
    std::string path = "/v1/want/opportunities/" + opportunity(4);
    Json before = service->get(path, token).body;
    for (const char* day : { "2026-02-31", "2026-02-29", "2026-04-31", "2026-06-31", "2026-09-31", "2026-11-31",
             "1900-02-29", "2026-13-01", "2026-00-10", "2026-01-00", "2026-01-32" }) {
        Reply refused = service->patch(path + "/followup", token, Json { { "note", "改期" }, { "dueDate", day } });
        EXPECT_EQ(refused.status, 400) << day;
        EXPECT_EQ(refused.message(), "字段“dueDate”格式不正确。") << day;
        EXPECT_EQ(service->put(path, token, Json { { "dueDate", day } }).status, 400) << day;
        Reply minute = service->put(
            "/v1/desktop/sales/minutes/" + SeedData::seedId(SeedData::Minute, 1), token, Json { { "date", day } });
        EXPECT_EQ(minute.status, 400) << day;
        EXPECT_EQ(minute.message(), "字段“date”格式不正确。") << day;
    }
    // Nothing was stored by the refusals.
    EXPECT_EQ(service->get(path, token).raw, before.dump());

    for (const char* day : { "2024-02-29", "2000-02-29", "2026-02-28", "2026-01-31", "2026-12-31", "2026-04-30" }) {
        Reply accepted = service->put(path, token, Json { { "dueDate", day } });
        EXPECT_EQ(accepted.status, 200) << day;
        EXPECT_EQ(accepted.body["dueDate"], day);
    }
}

TEST_F(RowsTest, CsvCellsStartingWithFormulaCharactersTabOrReturnAreDefused)
{
    std::string id = SeedData::seedId(SeedData::Company, 2);
    ASSERT_EQ(service
                  ->put("/v1/companies/" + id, token,
                      Json { { "city", "\t=1+1" }, { "industry", "\r@SUM(A1)" }, { "phone", "-2+3" } })
                  .status,
        200);
    std::string id3 = SeedData::seedId(SeedData::Company, 3);
    ASSERT_EQ(service
                  ->put("/v1/companies/" + id3, token,
                      Json { { "city", "=HYPERLINK(\"x\")" }, { "industry", "+7" }, { "phone", "010" } })
                  .status,
        200);
    Reply link = service->post("/v1/downloads", token, Json { { "kind", "library" } });
    ASSERT_EQ(link.status, 200);
    std::string csv = service->get(link.body["url"], "").raw;
    EXPECT_NE(csv.find(",\"'\t=1+1\",\"'\r@SUM(A1)\","), std::string::npos);
    EXPECT_NE(csv.find(",\"'=HYPERLINK(\"\"x\"\")\",\"'+7\","), std::string::npos);
    // Nothing unquoted starts with a dangerous character.
    EXPECT_EQ(csv.find(",\"\t"), std::string::npos);
    EXPECT_EQ(csv.find(",\"\r"), std::string::npos);
    EXPECT_EQ(csv.find(",\"="), std::string::npos);
}

}

}
