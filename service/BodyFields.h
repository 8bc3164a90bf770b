#pragma once

#include "base/Json.h"
#include "service/ApiError.h"
#include "service/ServiceRouter.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvid {

// Typed reads of a request body with the refusals the client shows: a field
// of the wrong type or size is a 400 naming the field, and nothing is stored.
class BodyFields {
public:
    explicit BodyFields(const Json& body)
        : body_(body)
    {
    }

    // Lengths are UTF-16 code units, as the pages count them.
    std::optional<std::string> text(
        const char* key, std::size_t maxLength, bool required = false, std::size_t minLength = 0) const;
    std::optional<bool> flag(const char* key, bool required = false) const;
    std::optional<std::int64_t> integer(
        const char* key, std::int64_t min, std::int64_t max, bool required = false) const;
    std::optional<std::vector<std::string>> texts(
        const char* key, std::size_t maxItems, std::size_t maxLength, bool required = false) const;
    // A UUID in any letter case, returned in lower case.
    std::optional<std::string> uuid(const char* key, bool required = false) const;
    std::optional<std::string> day(const char* key) const; // "2026-03-01"

    static ApiError invalid(const char* key);
    static ApiError missing(const char* key);

private:
    const Json* present(const char* key, bool required) const;

    const Json& body_;
};

// The lower-case UUID of a path parameter, or 400.
std::string uuidParam(const ApiRequest& request, std::size_t index);

}
