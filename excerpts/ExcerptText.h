#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Small text operations shared by the readers.
namespace korvid::ExcerptText {

// User-perceived characters in a piece of text. Counting piece by piece gives
// the count of the whole only when each piece ends where a cluster must end,
// as it does after a line feed.
std::size_t characterCount(std::string_view utf8);

}
