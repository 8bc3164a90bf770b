#pragma once

#include "base/Json.h"
#include "sales/QueryItem.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvid {

// One call of the remote service for a sales action of the page. The set of
// reachable paths is closed: an action outside the table is refused before
// anything is sent.
class SalesEndpoint {
public:
    // Reads "action", "id", "body" and "since" of the page message; throws
    // DesktopError with the page's message when the message does not make a
    // valid call.
    explicit SalesEndpoint(const Json& message);

    std::string path;
    std::string method;
    std::optional<Json> body; // an object; always none for "GET"
    std::vector<QueryItem> query;

    // Reshapes the relationship library reply into the page's directory:
    // known fields only, deleted rows dropped (or, when incremental, turned
    // into tombstones). Throws DesktopError.
    static Json directory(std::string_view bytes, bool incremental);

    // The actions of the table, in table order.
    static std::vector<std::string> actionNames();
};

}
