#include "driver/DriverRefusal.h"

#include <array>

namespace korvid {

namespace {

// Searched in this order; the order is the order of the message.
constexpr std::array<std::string_view, 27> kDriverWords = {
    "permission",
    "accessibility",
    "invalid",
    "argument",
    "unsupported",
    "required",
    "snapshot",
    "get_window_state",
    "foreground",
    "target",
    "coordinates",
    "not found",
    "disabled",
    "amount",
    "out of bounds",
    "stale",
    "denied",
    "standard",
    "not allowed",
    "window",
    "direct",
    "element_token",
    "revision",
    "expected",
    "type",
    "session",
    "unknown",
};

void render(const Json& value, std::string& out)
{
    if (value.is_object()) {
        out += '{';
        bool first = true;
        for (const auto& [key, member] : value.items()) {
            if (!first)
                out += ", ";
            first = false;
            out += key;
            out += ": ";
            render(member, out);
        }
        out += '}';
    } else if (value.is_array()) {
        out += '[';
        bool first = true;
        for (const auto& member : value) {
            if (!first)
                out += ", ";
            first = false;
            render(member, out);
        }
        out += ']';
    } else if (value.is_string()) {
        out += value.get_ref<const std::string&>();
    } else {
        out += value.dump();
    }
}

bool isWordByte(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// A word run matches \b(?:[a-z]+_){1,5}[a-z]+\b only as a whole: every
// character of a match is a word character, so both ends must be run ends.
bool isSnakeToken(std::string_view run)
{
    int parts = 1;
    char previous = '_';
    for (char c : run) {
        if (c == '_') {
            if (previous == '_')
                return false;
            ++parts;
        } else if (c < 'a' || c > 'z') {
            return false;
        }
        previous = c;
    }
    return previous != '_' && parts >= 2 && parts <= 6;
}

}

std::string renderReplyText(const Json& reply)
{
    std::string text;
    render(reply, text);
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string firstSnakeToken(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        if (!isWordByte(text[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && isWordByte(text[end]))
            ++end;
        auto run = text.substr(i, end - i);
        if (isSnakeToken(run))
            return std::string(run);
        i = end;
    }
    return {};
}

std::string driverRefusal(const Json& reply)
{
    std::string text = renderReplyText(reply);
    std::string joined = firstSnakeToken(text);
    for (auto word : kDriverWords) {
        if (text.find(word) == std::string::npos)
            continue;
        if (!joined.empty())
            joined += ", ";
        joined += word;
    }
    if (joined.empty())
        return "Cua Driver 拒绝操作。";
    return "Cua Driver 拒绝操作（" + joined + "）。";
}

}
