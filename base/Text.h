#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvid {

// Length in UTF-16 code units of valid UTF-8 text (a character outside the
// Basic Multilingual Plane counts two). Invalid sequences count one each.
std::size_t utf16Length(std::string_view utf8);

bool isValidUtf8(std::string_view bytes);

// The text with each ill-formed part replaced by one U+FFFD: every byte that
// cannot start a character, and every sequence cut short (its longest valid
// beginning counts as one), as browsers' decoders do. File names are bytes on
// Linux, and library output (XML character references to lone surrogates, PDF
// text with broken mappings) is not always valid; a JSON reply must be.
std::string repairUtf8(std::string_view bytes);

// Number of user-perceived characters (extended grapheme clusters).
std::size_t graphemeCount(std::string_view utf8);

// The first `count` user-perceived characters of the text; the whole text when
// it has no more than that. Never splits a cluster (emoji with modifiers,
// combining marks, regional-indicator pairs stay whole).
std::string graphemePrefix(std::string_view utf8, std::size_t count);

// Trims Unicode white space and line breaks at both ends.
std::string trimWhitespace(std::string_view utf8);

}
