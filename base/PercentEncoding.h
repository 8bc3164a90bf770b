#pragma once

#include <string>
#include <string_view>

namespace korvid {

// The characters no part of a URL ever encodes.
inline bool isUrlUnreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
        || c == '_' || c == '~';
}

// Unreserved, or one of the delimiters a part of a URL keeps as they stand.
inline bool isUrlUnreservedOrIn(unsigned char c, std::string_view kept)
{
    return isUrlUnreserved(c) || kept.find(static_cast<char>(c)) != std::string_view::npos;
}

// Appends text with every byte that keep refuses written as "%XX".
template <class Keep> void appendPercentEncoded(std::string& out, std::string_view text, Keep keep)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : text) {
        if (keep(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
}

}
