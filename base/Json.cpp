#include "base/Json.h"

#include "base/DesktopError.h"

namespace korvid {

namespace {

const Json* memberAt(const Json& object, const char* key)
{
    if (!object.is_object())
        return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

}

std::optional<std::string> stringAt(const Json& object, const char* key)
{
    const Json* value = memberAt(object, key);
    if (!value || !value->is_string())
        return std::nullopt;
    return value->get<std::string>();
}

std::optional<std::int64_t> integerAt(const Json& object, const char* key)
{
    const Json* value = memberAt(object, key);
    if (!value)
        return std::nullopt;
    if (value->is_number_unsigned()) {
        auto number = value->get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(INT64_MAX))
            return std::nullopt;
        return static_cast<std::int64_t>(number);
    }
    if (value->is_number_integer())
        return value->get<std::int64_t>();
    return std::nullopt;
}

std::optional<bool> booleanAt(const Json& object, const char* key)
{
    const Json* value = memberAt(object, key);
    if (!value || !value->is_boolean())
        return std::nullopt;
    return value->get<bool>();
}

const Json* objectAt(const Json& object, const char* key)
{
    const Json* value = memberAt(object, key);
    return value && value->is_object() ? value : nullptr;
}

const Json* arrayAt(const Json& object, const char* key)
{
    const Json* value = memberAt(object, key);
    return value && value->is_array() ? value : nullptr;
}

Json parseJson(std::string_view text)
{
    Json value = Json::parse(text.begin(), text.end(), nullptr, false);
    if (value.is_discarded())
        throw DesktopError("数据不是有效的 JSON，无法读取。");
    return value;
}

}
