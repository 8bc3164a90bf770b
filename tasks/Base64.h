#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvid {

// Standard Base64 with padding, as the stored bookmarks use it.
std::string base64Encode(std::string_view bytes);
// Strict: only the standard alphabet, correct padding, no white space.
std::optional<std::string> base64Decode(std::string_view text);

}
