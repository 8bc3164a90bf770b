#include "service/Documents.h"

#include "service/Database.h"

namespace korvid {

void Documents::put(Database& database, std::string_view kind, const std::string& id,
    const Json& body, std::string_view sortKey, std::int64_t nowMs)
{
    Statement write(database,
        "INSERT OR REPLACE INTO documents (kind, id, body, sort_key, updated_ms) VALUES (?, ?, ?, ?, ?)");
    write.bind(1, kind).bind(2, id).bind(3, body.dump()).bind(4, sortKey).bind(5, nowMs).run();
}

std::optional<Json> Documents::get(Database& database, std::string_view kind, const std::string& id)
{
    Statement query(database, "SELECT body FROM documents WHERE kind = ? AND id = ?");
    query.bind(1, kind).bind(2, id);
    if (!query.step())
        return std::nullopt;
    return Json::parse(query.text(0));
}

Json Documents::list(Database& database, std::string_view kind)
{
    Statement query(database,
        "SELECT body FROM documents WHERE kind = ? ORDER BY sort_key DESC, id");
    query.bind(1, kind);
    Json items = Json::array();
    while (query.step())
        items.push_back(Json::parse(query.text(0)));
    return items;
}

}
