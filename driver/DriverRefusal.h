#pragma once

#include "base/Json.h"

#include <string>
#include <string_view>

namespace korvid {

// The sentence for a reply the driver flagged as a failure: "Cua Driver 拒绝操作"
// followed, in full-width parentheses, by the first snake_case token of the
// reply and every known driver word it contains, so the user can tell a
// permission problem from a missing window.
std::string driverRefusal(const Json& reply);

// The reply as lower-case text in which every key and string value appears
// verbatim (no escapes that could glue words together).
std::string renderReplyText(const Json& reply);

// The first whole word of two to six lower-case parts joined by single
// underscores ("window_id"), or empty.
std::string firstSnakeToken(std::string_view lowerText);

}
