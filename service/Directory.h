#pragma once

#include "base/Json.h"

#include <cstdint>
#include <optional>
#include <string>

namespace korvid {

class Database;

// Companies and contacts of the relationship library. Deleted rows stay as
// tombstones so that incremental readers learn about them.
class Directory {
public:
    // Full read (live rows only) or, with `sinceMs`, every row changed at or
    // after it, deleted ones as {"id", "deleted": true, "updatedAt"}. The
    // answer is written as JSON text straight from the rows: the directory is
    // the largest answer of the service and is read on every sync.
    static std::string read(Database& database, std::optional<std::int64_t> sinceMs, std::int64_t nowMs);

    static std::optional<Json> company(Database& database, const std::string& id);
    static Json companiesOfKind(Database& database, const std::string& kind);
    // Merges the given fields into the company (creating it when new).
    static Json saveCompany(Database& database, const std::string& id, const Json& fields, std::int64_t nowMs);
    static bool deleteCompany(Database& database, const std::string& id, std::int64_t nowMs);
    static Json saveContact(Database& database, const std::string& id, const Json& fields, std::int64_t nowMs);
    static bool deleteContact(Database& database, const std::string& id, std::int64_t nowMs);
    static bool companyExists(Database& database, const std::string& id);
};

}
