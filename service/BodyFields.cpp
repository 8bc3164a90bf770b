#include "service/BodyFields.h"

#include "base/Text.h"
#include "base/Uuid.h"
#include "service/ApiError.h"

namespace korvid {

ApiError BodyFields::invalid(const char* key)
{
    return ApiError(400, "invalid_field", std::string("字段“") + key + "”格式不正确。");
}

ApiError BodyFields::missing(const char* key)
{
    return ApiError(400, "missing_field", std::string("缺少字段“") + key + "”。");
}

const Json* BodyFields::present(const char* key, bool required) const
{
    auto it = body_.find(key);
    if (it == body_.end() || it->is_null()) {
        if (required)
            throw missing(key);
        return nullptr;
    }
    return &*it;
}

std::optional<std::string> BodyFields::text(
    const char* key, std::size_t maxLength, bool required, std::size_t minLength) const
{
    const Json* value = present(key, required);
    if (!value)
        return std::nullopt;
    if (!value->is_string())
        throw invalid(key);
    const auto& text = value->get_ref<const std::string&>();
    std::size_t length = utf16Length(text);
    if (length > maxLength || length < minLength)
        throw invalid(key);
    return text;
}

std::optional<bool> BodyFields::flag(const char* key, bool required) const
{
    const Json* value = present(key, required);
    if (!value)
        return std::nullopt;
    if (!value->is_boolean())
        throw invalid(key);
    return value->get<bool>();
}

std::optional<std::int64_t> BodyFields::integer(
    const char* key, std::int64_t min, std::int64_t max, bool required) const
{
    if (!present(key, required))
        return std::nullopt;
    auto number = integerAt(body_, key);
    if (!number || *number < min || *number > max)
        throw invalid(key);
    return number;
}

std::optional<std::vector<std::string>> BodyFields::texts(
    const char* key, std::size_t maxItems, std::size_t maxLength, bool required) const
{
    const Json* value = present(key, required);
    if (!value)
        return std::nullopt;
    if (!value->is_array() || value->size() > maxItems)
        throw invalid(key);
    std::vector<std::string> items;
    for (const Json& item : *value) {
        if (!item.is_string() || utf16Length(item.get_ref<const std::string&>()) > maxLength)
            throw invalid(key);
        items.push_back(item.get<std::string>());
    }
    return items;
}

std::optional<std::string> BodyFields::uuid(const char* key, bool required) const
{
    auto value = text(key, 36, required);
    if (!value)
        return std::nullopt;
    auto canonical = canonicalUuid(*value);
    if (!canonical)
        throw invalid(key);
    return canonical;
}

std::optional<std::string> BodyFields::day(const char* key) const
{
    auto value = text(key, 10);
    if (!value)
        return std::nullopt;
    const std::string& d = *value;
    bool shape = d.size() == 10 && d[4] == '-' && d[7] == '-';
    for (std::size_t i = 0; shape && i < d.size(); ++i)
        if (i != 4 && i != 7 && (d[i] < '0' || d[i] > '9'))
            shape = false;
    if (!shape)
        throw invalid(key);
    int year = std::stoi(d.substr(0, 4));
    int month = std::stoi(d.substr(5, 2));
    int dayOfMonth = std::stoi(d.substr(8, 2));
    // A day the calendar does not have ("2026-02-31", "2026-04-31") would be
    // stored as given and sort or show as a date that never comes.
    static constexpr int kDays[] = { 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31 };
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month < 1 || month > 12 || dayOfMonth < 1 || dayOfMonth > kDays[month - 1] + (month == 2 && leap ? 1 : 0))
        throw invalid(key);
    return value;
}

std::string uuidParam(const ApiRequest& request, std::size_t index)
{
    auto canonical = canonicalUuid(request.params.at(index));
    if (!canonical)
        throw ApiError(400, "invalid_id", "记录标识无效。");
    return *canonical;
}

}
