#include "tasks/Base64.h"

#include <array>
#include <cstdint>

namespace korvid {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> makeTable()
{
    std::array<std::int8_t, 256> table {};
    for (auto& entry : table)
        entry = -1;
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    return table;
}

constexpr auto kTable = makeTable();

}

std::string base64Encode(std::string_view bytes)
{
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    auto at = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[k])); };
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t n = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
        text += kAlphabet[n >> 18 & 63];
        text += kAlphabet[n >> 12 & 63];
        text += kAlphabet[n >> 6 & 63];
        text += kAlphabet[n & 63];
    }
    std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        std::uint32_t n = at(i) << 16;
        text += kAlphabet[n >> 18 & 63];
        text += kAlphabet[n >> 12 & 63];
        text += "==";
    } else if (rest == 2) {
        std::uint32_t n = at(i) << 16 | at(i + 1) << 8;
        text += kAlphabet[n >> 18 & 63];
        text += kAlphabet[n >> 12 & 63];
        text += kAlphabet[n >> 6 & 63];
        text += '=';
    }
    return text;
}

std::optional<std::string> base64Decode(std::string_view text)
{
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        int padding = 0;
        if (last) {
            if (text[i + 3] == '=')
                padding = text[i + 2] == '=' ? 2 : 1;
        }
        std::uint32_t n = 0;
        for (int k = 0; k < 4; ++k) {
            std::int8_t value;
            if (k >= 4 - padding) {
                value = 0;
            } else {
                value = kTable[static_cast<unsigned char>(text[i + k])];
                if (value < 0)
                    return std::nullopt;
            }
            n = n << 6 | static_cast<std::uint32_t>(value);
        }
        bytes += static_cast<char>(n >> 16 & 0xFF);
        if (padding < 2)
            bytes += static_cast<char>(n >> 8 & 0xFF);
        if (padding < 1)
            bytes += static_cast<char>(n & 0xFF);
    }
    return bytes;
}

}
