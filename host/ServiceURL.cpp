#include "host/ServiceURL.h"

#include "base/PercentEncoding.h"

namespace korvid {

namespace {

// Characters kept as they are inside a path segment, besides unreserved ones.
bool isPathCharacter(unsigned char c)
{
    return isUrlUnreservedOrIn(c, "!$&'()*+,;=:@/");
}

// Inside a query name or value. "&", "=", "+" and "#" are always encoded so
// that a value such as an offset "+08:00" arrives as written.
bool isQueryCharacter(unsigned char c)
{
    return isUrlUnreservedOrIn(c, "!$'()*,:@/?");
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
        bool allowed = isUrlUnreserved(c) || c == ':' || c == '[' || c == ']';
        if (!allowed)
            return false;
    }
    return rest.front() != ':';
}

}

std::optional<std::string> serviceURL(
    std::string_view origin, std::string_view path, const std::vector<QueryItem>& query)
{
    if (!isValidOrigin(origin) || !path.starts_with('/'))
        return std::nullopt;
    std::string url;
    url.reserve(origin.size() + path.size() + 16 * query.size());
    url += origin;
    appendPercentEncoded(url, path, isPathCharacter);
    for (std::size_t i = 0; i < query.size(); ++i) {
        url += i == 0 ? '?' : '&';
        appendPercentEncoded(url, query[i].name, isQueryCharacter);
        url += '=';
        appendPercentEncoded(url, query[i].value, isQueryCharacter);
    }
    return url;
}

std::string fileURL(const std::filesystem::path& path)
{
    std::string url = "file://";
    appendPercentEncoded(url, std::filesystem::absolute(path).lexically_normal().string(), isPathCharacter);
    return url;
}

}
