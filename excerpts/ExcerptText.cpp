#include "excerpts/ExcerptText.h"

#include "base/Text.h"

#include <algorithm>

namespace korvid::ExcerptText {

std::size_t characterCount(std::string_view utf8)
{
    // Plain ASCII without carriage returns is one character per byte; only
    // "\r\n" pairs cluster among ASCII characters.
    bool simple = std::all_of(
        utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80 && c != '\r'; });
    return simple ? utf8.size() : graphemeCount(utf8);
}

}
