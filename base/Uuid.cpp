#include "base/Uuid.h"
#include "base/HexDigit.h"

#include <fstream>
#include <random>
#include <stdexcept>
#include <sys/random.h>

namespace korvid {

namespace {

bool isDashPosition(std::size_t i)
{
    return i == 8 || i == 13 || i == 18 || i == 23;
}

}

std::optional<Uuid> Uuid::parse(std::string_view text)
{
    if (text.size() != 36)
        return std::nullopt;
    Uuid uuid;
    std::size_t byte = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (isDashPosition(i)) {
            if (text[i] != '-')
                return std::nullopt;
            ++i;
            continue;
        }
        int high = hexDigitValue(text[i]);
        int low = hexDigitValue(text[i + 1]);
        if (high < 0 || low < 0 || isDashPosition(i + 1))
            return std::nullopt;
        uuid.bytes_[byte++] = static_cast<std::uint8_t>(high << 4 | low);
        i += 2;
    }
    return uuid;
}

Uuid Uuid::random()
{
    Uuid uuid;
    std::size_t filled = 0;
    while (filled < uuid.bytes_.size()) {
        ssize_t got = getrandom(uuid.bytes_.data() + filled, uuid.bytes_.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            std::random_device device;
            for (auto& b : uuid.bytes_)
                b = static_cast<std::uint8_t>(device());
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    uuid.bytes_[6] = static_cast<std::uint8_t>((uuid.bytes_[6] & 0x0f) | 0x40);
    uuid.bytes_[8] = static_cast<std::uint8_t>((uuid.bytes_[8] & 0x3f) | 0x80);
    return uuid;
}

std::string Uuid::string() const
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text.push_back('-');
        text.push_back(digits[bytes_[i] >> 4]);
        text.push_back(digits[bytes_[i] & 0x0f]);
    }
    return text;
}

std::optional<std::string> canonicalUuid(std::string_view text)
{
    auto uuid = Uuid::parse(text);
    if (!uuid)
        return std::nullopt;
    return uuid->string();
}

}
