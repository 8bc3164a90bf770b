#pragma once

#include "base/Json.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvid {

class Database;

// The sales desk's other records (opportunities, minutes, rules, ...) as JSON
// documents by kind and id, listed in the order of a sort key.
class Documents {
public:
    static void put(Database& database, std::string_view kind, const std::string& id,
        const Json& body, std::string_view sortKey, std::int64_t nowMs);
    static std::optional<Json> get(Database& database, std::string_view kind, const std::string& id);
    // Newest sort key first.
    static Json list(Database& database, std::string_view kind);
};

}
