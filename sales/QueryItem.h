#pragma once

#include <string>

namespace korvid {

// One URL query parameter, before percent-encoding.
struct QueryItem {
    std::string name;
    std::string value;
    bool operator==(const QueryItem&) const = default;
};

}
