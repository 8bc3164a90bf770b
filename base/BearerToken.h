#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace korvid {

// The longest token the client will send; a real one is a few hundred bytes.
constexpr std::size_t kBearerTokenLimit = 4096;

// Whether a token read from the sign-in page may go into an "Authorization"
// header: 1 to 4096 visible ASCII characters, no space, no control character.
// A page could otherwise add header lines to every service request through a
// carriage return or line feed in its stored token.
inline bool isUsableBearerToken(std::string_view token)
{
    return !token.empty() && token.size() <= kBearerTokenLimit
        && std::all_of(token.begin(), token.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

}
