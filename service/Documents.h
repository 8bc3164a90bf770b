#pragma once

#include "base/Json.h"

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace korvid {

class Database;

// The sales desk's other records (opportunities, minutes, rules, ...) as JSON
// documents by kind and id, listed in the order of a sort key.
//
// Lists that only grow (an opportunity's follow-ups and stage history, a
// session's notes, a conversation's turns) are kept as rows of their own, one
// per item, so adding the 10,000th costs what adding the 10th did. The
// document keeps an empty list at the key's place, which fill() replaces with
// the items, so a record reads back with its keys in the order they were
// written.
class Documents {
public:
    static constexpr std::int64_t kAll = std::numeric_limits<std::int64_t>::max();

    // Whether records of the kind have lists kept as rows.
    static bool grows(std::string_view kind);
    // Items found in the kind's growing lists are appended to the rows
    // already stored, in order, and the stored document keeps an empty list
    // in their place. So a record read with get(), changed, given new items
    // in its (empty) lists and put back appends exactly those items.
    static void put(Database& database, std::string_view kind, const std::string& id, const Json& body,
        std::string_view sortKey, std::int64_t nowMs);
    // Without the items of the growing lists: see fill().
    static std::optional<Json> get(Database& database, std::string_view kind, const std::string& id);
    // Newest sort key first, without the items of the growing lists.
    static Json list(Database& database, std::string_view kind);

    // The position of the newest stored item; fill() up to it reads exactly
    // the items stored so far, whatever is appended later.
    static std::int64_t lastItem(Database& database);
    // Puts the stored items (up to `upTo`) into the record's growing lists.
    // A list the record lacks is added at its end when it has items.
    static void fill(
        Database& database, std::string_view kind, const std::string& id, Json& record, std::int64_t upTo = kAll);

    // Appends to `out` the JSON text of `record` as fill() would make it,
    // with the stored items copied as text instead of parsed and written
    // again: the same bytes, at the cost of a copy.
    static void writeFilled(Database& database, std::string_view kind, const std::string& id, const Json& record,
        std::string& out, std::int64_t upTo = kAll);
    // A value's JSON text as replies carry it.
    static void writeValue(const Json& value, std::string& out);

    struct Tail {
        std::size_t count = 0;
        Json last;
    };
    // For every record of the kind with items in `list`: how many, and the
    // newest.
    static std::map<std::string, Tail> tails(Database& database, std::string_view kind, std::string_view list);

    // Moves the items of documents written before lists were kept as rows
    // into rows, once, in one transaction; later calls do nothing.
    static void migrate(Database& database);
};

}
