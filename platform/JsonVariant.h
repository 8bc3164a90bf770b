#pragma once

#include "base/Json.h"

#include <glib.h>
#include <jsc/jsc.h>

#include <optional>

namespace korvid {

// A JSON object as the a{sv} dictionary that WebKit turns into named
// arguments of an async function. Integers stay integers ("x"), other
// numbers are doubles; null becomes an empty "maybe". Floating reference.
GVariant* variantFromJson(const Json& object);

// A script result as JSON; undefined gives null, a value that cannot be
// serialised gives none.
std::optional<Json> jsonFromJSCValue(JSCValue* value);

// JSON text that never throws on invalid UTF-8 (bad bytes are replaced).
std::string safeDump(const Json& value);

}
