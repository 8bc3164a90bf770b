#include "base/Iso8601.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace korvid {

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
long long daysFromCivil(long long year, unsigned month, unsigned day)
{
    year -= month <= 2;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

bool isLeap(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month)
{
    static constexpr int days[] = { 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31 };
    return month == 2 && isLeap(year) ? 29 : days[month - 1];
}

class Reader {
public:
    explicit Reader(std::string_view text)
        : text_(text)
    {
    }

    bool digits(std::size_t count, int& value)
    {
        if (position_ + count > text_.size())
            return false;
        value = 0;
        for (std::size_t i = 0; i < count; ++i) {
            char c = text_[position_ + i];
            if (c < '0' || c > '9')
                return false;
            value = value * 10 + (c - '0');
        }
        position_ += count;
        return true;
    }
    bool literal(char c)
    {
        if (position_ >= text_.size() || text_[position_] != c)
            return false;
        ++position_;
        return true;
    }
    bool peekDigit() const { return position_ < text_.size() && text_[position_] >= '0' && text_[position_] <= '9'; }
    char peek() const { return position_ < text_.size() ? text_[position_] : '\0'; }
    bool atEnd() const { return position_ == text_.size(); }

private:
    std::string_view text_;
    std::size_t position_ = 0;
};

}

double nowUnixSeconds()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string formatIso8601(double unixSeconds)
{
    std::time_t whole = static_cast<std::time_t>(std::floor(unixSeconds));
    std::tm parts {};
    gmtime_r(&whole, &parts);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900, parts.tm_mon + 1,
        parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

std::optional<double> parseIso8601WithFraction(std::string_view text)
{
    Reader reader(text);
    int year, month, day, hour, minute, second;
    if (!reader.digits(4, year) || !reader.literal('-') || !reader.digits(2, month) || !reader.literal('-')
        || !reader.digits(2, day) || !reader.literal('T') || !reader.digits(2, hour) || !reader.literal(':')
        || !reader.digits(2, minute) || !reader.literal(':') || !reader.digits(2, second) || !reader.literal('.'))
        return std::nullopt;
    if (!reader.peekDigit())
        return std::nullopt;
    double fraction = 0;
    double scale = 0.1;
    while (reader.peekDigit()) {
        int digit;
        reader.digits(1, digit);
        fraction += digit * scale;
        scale /= 10;
    }
    int offsetSeconds = 0;
    if (reader.literal('Z')) {
    } else if (reader.peek() == '+' || reader.peek() == '-') {
        int sign = reader.peek() == '-' ? -1 : 1;
        reader.literal(reader.peek());
        int offsetHours, offsetMinutes;
        if (!reader.digits(2, offsetHours) || !reader.literal(':') || !reader.digits(2, offsetMinutes)
            || offsetHours > 23 || offsetMinutes > 59)
            return std::nullopt;
        offsetSeconds = sign * (offsetHours * 3600 + offsetMinutes * 60);
    } else {
        return std::nullopt;
    }
    if (!reader.atEnd())
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    double seconds
        = static_cast<double>(daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day))) * 86400.0
        + hour * 3600 + minute * 60 + second + fraction - offsetSeconds;
    return seconds;
}

}
