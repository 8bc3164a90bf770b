#include "platform/JsonVariant.h"

namespace korvid {

namespace {

GVariant* variantFromValue(const Json& value)
{
    switch (value.type()) {
    case Json::value_t::object: {
        GVariantBuilder builder;
        g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
        for (auto& [key, item] : value.items())
            g_variant_builder_add(&builder, "{sv}", key.c_str(), variantFromValue(item));
        return g_variant_builder_end(&builder);
    }
    case Json::value_t::array: {
        GVariantBuilder builder;
        g_variant_builder_init(&builder, G_VARIANT_TYPE("av"));
        for (auto& item : value)
            g_variant_builder_add(&builder, "v", variantFromValue(item));
        return g_variant_builder_end(&builder);
    }
    case Json::value_t::string:
        return g_variant_new_string(value.get_ref<const std::string&>().c_str());
    case Json::value_t::boolean:
        return g_variant_new_boolean(value.get<bool>());
    case Json::value_t::number_integer:
        return g_variant_new_int64(value.get<std::int64_t>());
    case Json::value_t::number_unsigned:
        return g_variant_new_uint64(value.get<std::uint64_t>());
    case Json::value_t::number_float:
        return g_variant_new_double(value.get<double>());
    default:
        return g_variant_new_maybe(G_VARIANT_TYPE_STRING, nullptr);
    }
}

}

GVariant* variantFromJson(const Json& object)
{
    if (!object.is_object())
        return variantFromValue(Json::object());
    return variantFromValue(object);
}

std::optional<Json> jsonFromJSCValue(JSCValue* value)
{
    if (!value || jsc_value_is_undefined(value) || jsc_value_is_null(value))
        return Json(nullptr);
    char* text = jsc_value_to_json(value, 0);
    if (!text)
        return std::nullopt;
    auto parsed = Json::parse(text, nullptr, false);
    g_free(text);
    if (parsed.is_discarded())
        return std::nullopt;
    return parsed;
}

std::string safeDump(const Json& value)
{
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}
