#include "excerpts/ExcerptText.h"

#include "base/Text.h"

#include <algorithm>

namespace korvid::ExcerptText {

namespace {

// Length of the well-formed UTF-8 sequence at the start of `s`, or 0.
std::size_t sequenceLength(const unsigned char* s, std::size_t available)
{
    unsigned char lead = s[0];
    if (lead < 0x80)
        return 1;
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (available < length)
        return 0;
    if (s[1] < low || s[1] > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    }
    return length;
}

}

std::string validUtf8(std::string_view bytes)
{
    if (isValidUtf8(bytes))
        return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + 16);
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t length = sequenceLength(s + i, bytes.size() - i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(bytes.data() + i, length);
            i += length;
        }
    }
    return out;
}

std::size_t characterCount(std::string_view utf8)
{
    // Plain ASCII without carriage returns is one character per byte; only
    // "\r\n" pairs cluster among ASCII characters.
    bool simple = std::all_of(utf8.begin(), utf8.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x80 && c != '\r';
    });
    return simple ? utf8.size() : graphemeCount(utf8);
}

}
