#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace korvid {

// Insertion-ordered so that bodies passed through from the page reach the
// service with their keys in the order the page wrote them.
using Json = nlohmann::ordered_json;

// Typed reads of one key of an object; absent, null or another type give none.
// Integers stay integers: 1.0 is not an integer, and a string "1" is not one.
std::optional<std::string> stringAt(const Json& object, const char* key);
std::optional<std::int64_t> integerAt(const Json& object, const char* key);
std::optional<bool> booleanAt(const Json& object, const char* key);
const Json* objectAt(const Json& object, const char* key);
const Json* arrayAt(const Json& object, const char* key);

// Parses text as JSON; a failure throws DesktopError with a Chinese sentence.
Json parseJson(std::string_view text);

}
