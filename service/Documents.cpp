#include "service/Documents.h"

#include "service/Database.h"

#include <algorithm>
#include <array>
#include <span>
#include <vector>

namespace korvid {

namespace {

struct GrowingLists {
    std::string_view kind;
    std::array<std::string_view, 2> keys;
};

constexpr GrowingLists kGrowing[] = {
    { "opportunity", { "followups", "stageHistory" } },
    { "eventSession", { "notes", {} } },
    { "conversation", { "turns", {} } },
};

std::span<const std::string_view> growingLists(std::string_view kind)
{
    for (const auto& entry : kGrowing) {
        if (entry.kind == kind) {
            std::size_t count = entry.keys[1].empty() ? 1 : 2;
            return { entry.keys.data(), count };
        }
    }
    return {};
}

// The document without its growing lists' items (left as empty lists), and
// the items in storage order. Anything at such a key that is not a list is
// stored as it is.
Json withoutItems(std::string_view kind, const Json& body, std::vector<std::pair<std::string_view, Json>>& items)
{
    Json bare = body;
    for (std::string_view key : growingLists(kind)) {
        auto found = bare.find(std::string(key));
        if (found == bare.end() || !found->is_array() || found->empty())
            continue;
        for (auto& item : *found)
            items.emplace_back(key, std::move(item));
        *found = Json::array();
    }
    return bare;
}

void writeDocument(Database& database, std::string_view kind, const std::string& id, const Json& body,
    std::string_view sortKey, std::int64_t nowMs)
{
    std::vector<std::pair<std::string_view, Json>> items;
    Json bare = withoutItems(kind, body, items);
    Statement write(
        database, "INSERT OR REPLACE INTO documents (kind, id, body, sort_key, updated_ms) VALUES (?, ?, ?, ?, ?)");
    write.bind(1, kind).bind(2, id).bind(3, bare.dump()).bind(4, sortKey).bind(5, nowMs).run();
    if (items.empty())
        return;
    Statement append(database, "INSERT INTO document_items (kind, id, list, body) VALUES (?, ?, ?, ?)");
    for (const auto& [key, item] : items)
        append.bind(1, kind).bind(2, id).bind(3, key).bind(4, item.dump()).run();
}

}

bool Documents::grows(std::string_view kind)
{
    return !growingLists(kind).empty();
}

void Documents::put(Database& database, std::string_view kind, const std::string& id, const Json& body,
    std::string_view sortKey, std::int64_t nowMs)
{
    writeDocument(database, kind, id, body, sortKey, nowMs);
}

std::optional<Json> Documents::get(Database& database, std::string_view kind, const std::string& id)
{
    Statement query(database, "SELECT body FROM documents WHERE kind = ? AND id = ?");
    query.bind(1, kind).bind(2, id);
    if (!query.step())
        return std::nullopt;
    return Json::parse(query.view(0));
}

Json Documents::list(Database& database, std::string_view kind)
{
    Statement query(database, "SELECT body FROM documents WHERE kind = ? ORDER BY sort_key DESC, id");
    query.bind(1, kind);
    Json items = Json::array();
    while (query.step())
        items.push_back(Json::parse(query.view(0)));
    return items;
}

std::int64_t Documents::lastItem(Database& database)
{
    Statement query(database, "SELECT coalesce(max(seq), 0) FROM document_items");
    query.step();
    return query.integer(0);
}

void Documents::fill(Database& database, std::string_view kind, const std::string& id, Json& record, std::int64_t upTo)
{
    auto keys = growingLists(kind);
    if (keys.empty())
        return;
    Statement query(
        database, "SELECT body FROM document_items WHERE kind = ? AND id = ? AND list = ? AND seq <= ? ORDER BY seq");
    for (std::string_view key : keys) {
        Json items = Json::array();
        query.bind(1, kind).bind(2, id).bind(3, key).bind(4, upTo);
        while (query.step())
            items.push_back(Json::parse(query.view(0)));
        query.reset();
        auto found = record.find(std::string(key));
        if (found != record.end())
            *found = std::move(items);
        else if (!items.empty())
            record[std::string(key)] = std::move(items);
    }
}

void Documents::writeValue(const Json& value, std::string& out)
{
    out += value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void Documents::writeFilled(Database& database, std::string_view kind, const std::string& id, const Json& record,
    std::string& out, std::int64_t upTo)
{
    auto keys = growingLists(kind);
    if (keys.empty() || !record.is_object()) {
        writeValue(record, out);
        return;
    }
    Statement query(
        database, "SELECT body FROM document_items WHERE kind = ? AND id = ? AND list = ? AND seq <= ? ORDER BY seq");
    // The items of one list as the text of a JSON array; false when none.
    auto writeItems = [&](std::string_view key) {
        query.bind(1, kind).bind(2, id).bind(3, key).bind(4, upTo);
        bool any = false;
        out += '[';
        while (query.step()) {
            if (any)
                out += ',';
            out += query.view(0);
            any = true;
        }
        out += ']';
        query.reset();
        return any;
    };
    out += '{';
    bool first = true;
    for (const auto& [key, value] : record.items()) {
        if (!first)
            out += ',';
        first = false;
        writeValue(Json(key), out);
        out += ':';
        if (std::find(keys.begin(), keys.end(), key) != keys.end())
            writeItems(key);
        else
            writeValue(value, out);
    }
    // A list the record lacks comes last, and only when it has items.
    for (std::string_view key : keys) {
        if (record.contains(std::string(key)))
            continue;
        std::size_t mark = out.size();
        out += first ? "" : ",";
        writeValue(Json(std::string(key)), out);
        out += ':';
        if (writeItems(key))
            first = false;
        else
            out.resize(mark);
    }
    out += '}';
}

std::map<std::string, Documents::Tail> Documents::tails(
    Database& database, std::string_view kind, std::string_view list)
{
    Statement query(database,
        "SELECT i.id, t.n, i.body FROM document_items i JOIN "
        "(SELECT id, count(*) AS n, max(seq) AS last FROM document_items WHERE kind = ?1 AND list = ?2 GROUP BY id) t "
        "ON i.seq = t.last");
    query.bind(1, kind).bind(2, list);
    std::map<std::string, Tail> found;
    while (query.step())
        found.emplace(query.text(0), Tail { static_cast<std::size_t>(query.integer(1)), Json::parse(query.view(2)) });
    return found;
}

void Documents::migrate(Database& database)
{
    Statement done(database, "SELECT 1 FROM meta WHERE key = 'listsAsRows'");
    if (done.step())
        return;
    done.reset();
    Transaction transaction(database);
    for (const auto& entry : kGrowing) {
        struct Stored {
            std::string id, sortKey;
            std::int64_t updatedMs;
            Json body;
        };
        std::vector<Stored> documents;
        {
            Statement query(
                database, "SELECT id, sort_key, updated_ms, body FROM documents WHERE kind = ? ORDER BY id");
            query.bind(1, entry.kind);
            while (query.step())
                documents.push_back({ query.text(0), query.text(1), query.integer(2), Json::parse(query.view(3)) });
        }
        // Only documents with items are rewritten; their update time stays.
        for (const auto& stored : documents) {
            bool hasItems = false;
            for (std::string_view key : growingLists(entry.kind)) {
                auto found = stored.body.find(std::string(key));
                hasItems = hasItems || (found != stored.body.end() && found->is_array() && !found->empty());
            }
            if (hasItems)
                writeDocument(database, entry.kind, stored.id, stored.body, stored.sortKey, stored.updatedMs);
        }
    }
    Statement mark(database, "INSERT INTO meta (key, value) VALUES ('listsAsRows', '1')");
    mark.run();
    transaction.commit();
}

}
