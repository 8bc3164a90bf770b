#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvid {

// Seconds between the Unix epoch and 2001-01-01T00:00:00Z, the reference date
// of stored "updatedAt" values.
inline constexpr double kReferenceDateOffset = 978307200.0;

// Wall-clock now, as seconds since the Unix epoch with a fraction.
double nowUnixSeconds();

// "2025-03-26T08:05:09Z": UTC, whole seconds (the fraction is dropped).
std::string formatIso8601(double unixSeconds);

// Internet date-time with fractional seconds: "2024-05-01T08:30:00.000Z" or
// with a "+08:00" style offset. Returns Unix seconds, or none when the text is
// not exactly that form or names an impossible date or time.
std::optional<double> parseIso8601WithFraction(std::string_view text);

}
