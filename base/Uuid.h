#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvid {

// A UUID in the 8-4-4-4-12 hexadecimal form. Parsing is strict (exactly 36
// characters, dashes in place, any letter case); formatting is lower case.
class Uuid {
public:
    static std::optional<Uuid> parse(std::string_view text);
    static Uuid random(); // version 4, from the kernel's random source

    std::string string() const;
    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
    bool operator==(const Uuid&) const = default;

private:
    std::array<std::uint8_t, 16> bytes_ {};
};

// Lower-case canonical text of a UUID given in any case, or none.
std::optional<std::string> canonicalUuid(std::string_view text);

}
