#include "host/ServiceURL.h"

namespace korvid {

namespace {

bool isUnreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
        || c == '_' || c == '~';
}

// Characters kept as they are inside a path segment, besides unreserved ones.
bool isPathCharacter(unsigned char c)
{
    return isUnreserved(c) || std::string_view("!$&'()*+,;=:@/").find(static_cast<char>(c)) != std::string_view::npos;
}

// Inside a query name or value. "&", "=", "+" and "#" are always encoded so
// that a value such as an offset "+08:00" arrives as written.
bool isQueryCharacter(unsigned char c)
{
    return isUnreserved(c) || std::string_view("!$'()*,:@/?").find(static_cast<char>(c)) != std::string_view::npos;
}

template <class Keep>
void appendEncoded(std::string& out, std::string_view text, Keep keep)
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

bool isValidOrigin(std::string_view origin)
{
    std::string_view rest;
    if (origin.starts_with("https://"))
        rest = origin.substr(8);
    else if (origin.starts_with("http://"))
        rest = origin.substr(7);
    else
        return false;
    if (rest.empty())
        return false;
    for (unsigned char c : rest) {
        // Host names, IPv4 and bracketed IPv6 literals, ports.
        bool allowed = isUnreserved(c) || c == ':' || c == '[' || c == ']';
        if (!allowed)
            return false;
    }
    return rest.front() != ':';
}

}

std::optional<std::string> serviceURL(std::string_view origin, std::string_view path,
    const std::vector<QueryItem>& query)
{
    if (!isValidOrigin(origin) || !path.starts_with('/'))
        return std::nullopt;
    std::string url;
    url.reserve(origin.size() + path.size() + 16 * query.size());
    url += origin;
    appendEncoded(url, path, isPathCharacter);
    for (std::size_t i = 0; i < query.size(); ++i) {
        url += i == 0 ? '?' : '&';
        appendEncoded(url, query[i].name, isQueryCharacter);
        url += '=';
        appendEncoded(url, query[i].value, isQueryCharacter);
    }
    return url;
}

std::string fileURL(const std::filesystem::path& path)
{
    std::string url = "file://";
    appendEncoded(url, std::filesystem::absolute(path).lexically_normal().string(), isPathCharacter);
    return url;
}

}
