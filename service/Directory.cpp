#include "service/Directory.h"

#include "service/ApiError.h"
#include "service/Database.h"
#include "service/ServiceStore.h"

#include <cstdio>
#include <string_view>
#include <vector>

namespace korvid {

namespace {

constexpr const char* kCompanyColumns
    = "id, name, intro_note, structure, target_position, is_target, kind, unsure, city, industry, "
      "phone, updated_ms, deleted";
constexpr const char* kContactColumns = "id, company_id, name, department, title, phone, email, updated_ms, deleted";

// Marks the live rows of `table` whose `column` holds `value` deleted; false
// when there were none.
bool markDeleted(
    Database& database, std::string_view table, std::string_view column, const std::string& value, std::int64_t nowMs)
{
    Statement write(database,
        "UPDATE " + std::string(table) + " SET deleted = 1, updated_ms = ? WHERE " + std::string(column)
            + " = ? AND deleted = 0");
    write.bind(1, nowMs).bind(2, value).run();
    return database.changes() > 0;
}

Json companyRow(const Statement& row)
{
    Json company = Json::object();
    company["id"] = row.text(0);
    company["name"] = row.text(1);
    company["introNote"] = row.text(2);
    company["structure"] = row.text(3);
    company["targetPosition"] = row.text(4);
    company["isTarget"] = row.integer(5) != 0;
    company["kind"] = row.text(6);
    company["unsure"] = row.integer(7) != 0;
    company["city"] = row.text(8);
    company["industry"] = row.text(9);
    company["phone"] = row.text(10);
    company["updatedAt"] = formatMillis(row.integer(11));
    return company;
}

Json contactRow(const Statement& row)
{
    Json contact = Json::object();
    contact["id"] = row.text(0);
    contact["companyID"] = row.text(1);
    contact["name"] = row.text(2);
    contact["department"] = row.text(3);
    contact["title"] = row.text(4);
    contact["phone"] = row.text(5);
    contact["email"] = row.text(6);
    contact["updatedAt"] = formatMillis(row.integer(7));
    return contact;
}

// JSON text written field by field. Stored text always came in as parsed
// JSON, so it is valid UTF-8; only quotes, backslashes and control
// characters need escaping.
struct DirectoryWriter {
    std::string text;
    std::int64_t lastTime = -1;
    std::string lastTimeText;

    void string(std::string_view value)
    {
        text += '"';
        std::size_t run = 0;
        for (std::size_t i = 0; i < value.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(value[i]);
            if (c != '"' && c != '\\' && c >= 0x20)
                continue;
            text.append(value.data() + run, i - run);
            run = i + 1;
            if (c == '"' || c == '\\') {
                text += '\\';
                text += static_cast<char>(c);
            } else {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                text += escaped;
            }
        }
        text.append(value.data() + run, value.size() - run);
        text += '"';
    }

    void key(const char* name, bool first)
    {
        if (!first)
            text += ',';
        text += '"';
        text += name;
        text += "\":";
    }

    void column(const Statement& row, int index) { string(row.view(index)); }

    void time(std::int64_t ms)
    {
        if (ms != lastTime) {
            lastTime = ms;
            lastTimeText = formatMillis(ms);
        }
        string(lastTimeText);
    }
};

std::string text(const Json& fields, const char* key, const Json& current)
{
    if (auto value = stringAt(fields, key))
        return *value;
    return stringAt(current, key).value_or("");
}

bool flag(const Json& fields, const char* key, const Json& current)
{
    if (auto value = booleanAt(fields, key))
        return *value;
    return booleanAt(current, key).value_or(false);
}

std::optional<Json> contact(Database& database, const std::string& id)
{
    Statement query(database, std::string("SELECT ") + kContactColumns + " FROM contacts WHERE id = ? AND deleted = 0");
    query.bind(1, id);
    if (!query.step())
        return std::nullopt;
    return contactRow(query);
}

}

std::string Directory::read(Database& database, std::optional<std::int64_t> sinceMs, std::int64_t nowMs)
{
    DirectoryWriter head;
    head.text = "{\"serverTime\":";
    head.string(formatMillis(nowMs));
    // The full directory only changes when rows do: reuse its text.
    if (const std::string* cached = sinceMs ? nullptr : database.memo())
        return head.text + *cached;
    DirectoryWriter out;
    out.text.reserve(1 << 20);
    auto list = [&](const char* table, const char* columns, int updatedColumn, const auto& fields) {
        std::string sql = std::string("SELECT ") + columns + " FROM " + table
            + (sinceMs ? " WHERE updated_ms >= ? ORDER BY updated_ms, id" : " WHERE deleted = 0 ORDER BY id");
        Statement query(database, sql);
        if (sinceMs)
            query.bind(1, *sinceMs);
        out.text += ",\"";
        out.text += table;
        out.text += "\":[";
        bool first = true;
        while (query.step()) {
            out.text += first ? "{" : ",{";
            first = false;
            if (query.integer(updatedColumn + 1)) {
                out.key("id", true);
                out.column(query, 0);
                out.text += ",\"deleted\":true";
            } else {
                for (std::size_t i = 0; i < fields.size(); ++i) {
                    out.key(fields[i].first, i == 0);
                    if (fields[i].second)
                        out.text += query.integer(static_cast<int>(i)) ? "true" : "false";
                    else
                        out.column(query, static_cast<int>(i));
                }
            }
            out.key("updatedAt", false);
            out.time(query.integer(updatedColumn));
            out.text += '}';
        }
        out.text += ']';
    };
    // Names and kinds (true: a boolean column) in column order.
    static const std::vector<std::pair<const char*, bool>> companyFields { { "id", false }, { "name", false },
        { "introNote", false }, { "structure", false }, { "targetPosition", false }, { "isTarget", true },
        { "kind", false }, { "unsure", true }, { "city", false }, { "industry", false }, { "phone", false } };
    static const std::vector<std::pair<const char*, bool>> contactFields { { "id", false }, { "companyID", false },
        { "name", false }, { "department", false }, { "title", false }, { "phone", false }, { "email", false } };
    list("companies", kCompanyColumns, 11, companyFields);
    list("contacts", kContactColumns, 7, contactFields);
    out.text += '}';
    if (!sinceMs)
        database.setMemo(out.text);
    return head.text + out.text;
}

std::optional<Json> Directory::company(Database& database, const std::string& id)
{
    Statement query(
        database, std::string("SELECT ") + kCompanyColumns + " FROM companies WHERE id = ? AND deleted = 0");
    query.bind(1, id);
    if (!query.step())
        return std::nullopt;
    Json company = companyRow(query);
    Statement people(database,
        std::string("SELECT ") + kContactColumns + " FROM contacts WHERE company_id = ? AND deleted = 0 ORDER BY id");
    people.bind(1, id);
    Json contacts = Json::array();
    while (people.step())
        contacts.push_back(contactRow(people));
    company["contacts"] = std::move(contacts);
    return company;
}

Json Directory::companiesOfKind(Database& database, const std::string& kind)
{
    Statement query(database,
        std::string("SELECT ") + kCompanyColumns
            + ", (SELECT count(*) FROM contacts WHERE company_id = companies.id AND deleted = 0)"
              " FROM companies WHERE kind = ? AND deleted = 0 ORDER BY id");
    query.bind(1, kind);
    Json items = Json::array();
    while (query.step()) {
        Json company = companyRow(query);
        company["contactCount"] = query.integer(13);
        items.push_back(std::move(company));
    }
    return items;
}

bool Directory::companyExists(Database& database, const std::string& id)
{
    Statement query(database, "SELECT 1 FROM companies WHERE id = ? AND deleted = 0");
    query.bind(1, id);
    return query.step();
}

Json Directory::saveCompany(Database& database, const std::string& id, const Json& fields, std::int64_t nowMs)
{
    Json current = company(database, id).value_or(Json::object());
    Statement write(database,
        std::string("INSERT OR REPLACE INTO companies (") + kCompanyColumns
            + ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0)");
    write.bind(1, id)
        .bind(2, text(fields, "name", current))
        .bind(3, text(fields, "introNote", current))
        .bind(4, text(fields, "structure", current))
        .bind(5, text(fields, "targetPosition", current))
        .bind(6, flag(fields, "isTarget", current))
        .bind(7, stringAt(fields, "kind").value_or(stringAt(current, "kind").value_or("prospect")))
        .bind(8, flag(fields, "unsure", current))
        .bind(9, text(fields, "city", current))
        .bind(10, text(fields, "industry", current))
        .bind(11, text(fields, "phone", current))
        .bind(12, nowMs);
    write.run();
    return *company(database, id);
}

bool Directory::deleteCompany(Database& database, const std::string& id, std::int64_t nowMs)
{
    if (!markDeleted(database, "companies", "id", id, nowMs))
        return false;
    // The company's people go with it, so no reader keeps orphans.
    markDeleted(database, "contacts", "company_id", id, nowMs);
    return true;
}

Json Directory::saveContact(Database& database, const std::string& id, const Json& fields, std::int64_t nowMs)
{
    Json current = contact(database, id).value_or(Json::object());
    Statement write(database,
        std::string("INSERT OR REPLACE INTO contacts (") + kContactColumns + ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, 0)");
    write.bind(1, id)
        .bind(2, text(fields, "companyID", current))
        .bind(3, text(fields, "name", current))
        .bind(4, text(fields, "department", current))
        .bind(5, text(fields, "title", current))
        .bind(6, text(fields, "phone", current))
        .bind(7, text(fields, "email", current))
        .bind(8, nowMs);
    write.run();
    return *contact(database, id);
}

bool Directory::deleteContact(Database& database, const std::string& id, std::int64_t nowMs)
{
    return markDeleted(database, "contacts", "id", id, nowMs);
}

}
