#pragma once

#include "sales/QueryItem.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvid {

// The origin ("http[s]://host[:port]", no path, query or fragment) followed
// by the path, then the query items in order, each percent-encoded. None
// when the origin is not such an origin or the path does not start with "/".
std::optional<std::string> serviceURL(
    std::string_view origin, std::string_view path, const std::vector<QueryItem>& query);

// "file://" plus the absolute path, percent-encoded as a URL path.
std::string fileURL(const std::filesystem::path& path);

}
