#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Small text operations shared by the readers.
namespace korvid::ExcerptText {

// The text with every byte that is not part of a well-formed UTF-8 sequence
// replaced by U+FFFD. Library output (XML character references to lone
// surrogates, PDF text with broken mappings, file names) is not always valid,
// and a JSON reply must be.
std::string validUtf8(std::string_view bytes);

// User-perceived characters in a piece of text. Counting piece by piece gives
// the count of the whole only when each piece ends where a cluster must end,
// as it does after a line feed.
std::size_t characterCount(std::string_view utf8);

}
