#include "tasks/JsonCursor.h"
#include "base/HexDigit.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace korvid {

namespace {

constexpr int kMaxDepth = 256;

void appendUtf8(std::string& out, std::uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Length of the valid UTF-8 sequence starting at `p` (a byte of 0x80 or
// more), or 0 when it is not one (overlong forms, surrogates, beyond U+10FFFF).
std::size_t utf8Sequence(const unsigned char* p, const unsigned char* end)
{
    unsigned char c = p[0];
    auto continuation = [&](std::size_t i) { return p + i < end && (p[i] & 0xC0) == 0x80; };
    if (c >= 0xC2 && c <= 0xDF)
        return continuation(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (!continuation(1) || !continuation(2))
            return 0;
        if ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] > 0x9F))
            return 0;
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (!continuation(1) || !continuation(2) || !continuation(3))
            return 0;
        if ((c == 0xF0 && p[1] < 0x90) || (c == 0xF4 && p[1] > 0x8F))
            return 0;
        return 4;
    }
    return 0;
}

#if defined(__SSE2__)
#if defined(__GNUC__) && defined(__x86_64__)
// The same check as skipPlainText below, thirty-two bytes at a time on
// processors that have AVX2. Returns where it stopped; `stopped` tells a
// quote, backslash or control character from too few bytes left.
__attribute__((target("avx2"))) inline __m256i bytes(int value)
{
    return _mm256_set1_epi8(static_cast<char>(value));
}

// x > k for unsigned bytes.
__attribute__((target("avx2"))) inline __m256i above(__m256i x, int k)
{
    return _mm256_xor_si256(_mm256_cmpeq_epi8(_mm256_subs_epu8(x, bytes(k)), _mm256_setzero_si256()), bytes(0xFF));
}

__attribute__((target("avx2"))) const char* skipPlainTextWide(const char* p, const char* end, bool& stopped)
{
    const __m256i ones = bytes(0xFF);
    stopped = false;
    while (end - p >= 32) {
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p - 1));
        __m256i b2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p - 2));
        __m256i b3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p - 3));

        __m256i control = _mm256_and_si256(_mm256_cmpgt_epi8(b, bytes(-1)), _mm256_cmpgt_epi8(bytes(0x20), b));
        __m256i stop = _mm256_or_si256(
            _mm256_or_si256(_mm256_cmpeq_epi8(b, bytes('"')), _mm256_cmpeq_epi8(b, bytes('\\'))), control);

        __m256i continuation = _mm256_cmpgt_epi8(bytes(0xC0), b);
        __m256i wanted = _mm256_or_si256(_mm256_or_si256(above(b1, 0xBF), above(b2, 0xDF)), above(b3, 0xEF));
        __m256i error = _mm256_xor_si256(continuation, wanted);
        error = _mm256_or_si256(error, _mm256_cmpeq_epi8(_mm256_and_si256(b, bytes(0xFE)), bytes(0xC0)));
        error = _mm256_or_si256(error, above(b, 0xF4));
        __m256i low9F = _mm256_xor_si256(above(b, 0x9F), ones);
        __m256i low8F = _mm256_xor_si256(above(b, 0x8F), ones);
        error = _mm256_or_si256(error, _mm256_and_si256(_mm256_cmpeq_epi8(b1, bytes(0xE0)), low9F));
        error = _mm256_or_si256(error, _mm256_andnot_si256(low9F, _mm256_cmpeq_epi8(b1, bytes(0xED))));
        error = _mm256_or_si256(error, _mm256_and_si256(_mm256_cmpeq_epi8(b1, bytes(0xF0)), low8F));
        error = _mm256_or_si256(error, _mm256_andnot_si256(low8F, _mm256_cmpeq_epi8(b1, bytes(0xF4))));

        std::uint64_t stops = static_cast<std::uint32_t>(_mm256_movemask_epi8(stop));
        std::uint64_t errors = static_cast<std::uint32_t>(_mm256_movemask_epi8(error));
        if (stops) {
            unsigned at = static_cast<unsigned>(__builtin_ctzll(stops));
            if (errors & ((std::uint64_t { 2 } << at) - 1))
                return nullptr;
            stopped = true;
            return p + at;
        }
        if (errors)
            return nullptr;
        p += 32;
    }
    return p;
}

bool haveAvx2()
{
    static const bool have = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
    return have;
}
#endif

// The first position at or after `p` that is a quote, a backslash or a
// control character, with every byte before it checked to be well-formed
// UTF-8, sixteen bytes at a time. Each byte's role is judged against the
// three bytes before it, so `p - 3` must still be inside the string and
// everything before `p` already checked. Stops early, at a character
// boundary, when fewer than sixteen bytes remain; nullptr when the text is
// not UTF-8.
const char* skipPlainText(const char* p, const char* end)
{
    const __m128i zero = _mm_setzero_si128();
    auto bytes = [](int value) { return _mm_set1_epi8(static_cast<char>(value)); };
    // x > k for unsigned bytes.
    auto above = [&](__m128i x, int k) {
        return _mm_xor_si128(_mm_cmpeq_epi8(_mm_subs_epu8(x, bytes(k)), zero), bytes(0xFF));
    };
    const char* const from = p;
#if defined(__GNUC__) && defined(__x86_64__)
    if (haveAvx2()) {
        bool stopped;
        p = skipPlainTextWide(p, end, stopped);
        if (!p || stopped)
            return p;
    }
#endif
    while (end - p >= 16) {
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 1));
        __m128i b2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 2));
        __m128i b3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 3));

        __m128i control = _mm_and_si128(_mm_cmpgt_epi8(b, bytes(-1)), _mm_cmplt_epi8(b, bytes(0x20)));
        __m128i stop
            = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(b, bytes('"')), _mm_cmpeq_epi8(b, bytes('\\'))), control);

        // A byte must be a continuation exactly when a lead byte one, two or
        // three places back still wants one.
        __m128i continuation = _mm_cmplt_epi8(b, bytes(0xC0));
        __m128i wanted = _mm_or_si128(_mm_or_si128(above(b1, 0xBF), above(b2, 0xDF)), above(b3, 0xEF));
        __m128i error = _mm_xor_si128(continuation, wanted);
        // Bytes never seen in UTF-8, then overlong forms, surrogates and
        // code points beyond U+10FFFF, told by the byte after the lead.
        error = _mm_or_si128(error, _mm_cmpeq_epi8(_mm_and_si128(b, bytes(0xFE)), bytes(0xC0)));
        error = _mm_or_si128(error, above(b, 0xF4));
        __m128i low9F = _mm_xor_si128(above(b, 0x9F), bytes(0xFF));
        __m128i low8F = _mm_xor_si128(above(b, 0x8F), bytes(0xFF));
        error = _mm_or_si128(error, _mm_and_si128(_mm_cmpeq_epi8(b1, bytes(0xE0)), low9F));
        error = _mm_or_si128(error, _mm_andnot_si128(low9F, _mm_cmpeq_epi8(b1, bytes(0xED))));
        error = _mm_or_si128(error, _mm_and_si128(_mm_cmpeq_epi8(b1, bytes(0xF0)), low8F));
        error = _mm_or_si128(error, _mm_andnot_si128(low8F, _mm_cmpeq_epi8(b1, bytes(0xF4))));

        unsigned stops = static_cast<unsigned>(_mm_movemask_epi8(stop));
        unsigned errors = static_cast<unsigned>(_mm_movemask_epi8(error));
        if (stops) {
            // Only the bytes up to the stop belong to this string; a lead
            // byte right before it is caught as wanting a continuation.
            unsigned at = static_cast<unsigned>(__builtin_ctz(stops));
            if (errors & ((2u << at) - 1))
                return nullptr;
            return p + at;
        }
        if (errors)
            return nullptr;
        p += 16;
    }
    // The last character begun before `p` may run past it: step back to
    // its lead byte so that it is checked whole.
    if (p == from)
        return p;
    const char* last = p - 1;
    while ((static_cast<unsigned char>(*last) & 0xC0) == 0x80)
        --last;
    return static_cast<unsigned char>(*last) >= 0xC0 ? last : p;
}
#endif

}

void JsonCursor::skipSpace()
{
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t'))
        ++p_;
}

JsonCursor::Kind JsonCursor::peek()
{
    skipSpace();
    if (p_ == end_)
        return Kind::invalid;
    switch (*p_) {
    case '{':
        return Kind::object;
    case '[':
        return Kind::array;
    case '"':
        return Kind::string;
    case 't':
    case 'f':
        return Kind::boolean;
    case 'n':
        return Kind::null;
    default:
        break;
    }
    if (*p_ != '-' && (*p_ < '0' || *p_ > '9'))
        return Kind::invalid;
    JsonCursor probe = *this;
    bool isInteger = false, isUnsigned = false;
    std::int64_t integer;
    std::uint64_t unsignedValue;
    double number;
    if (!probe.readNumber(isInteger, integer, unsignedValue, isUnsigned, number))
        return Kind::invalid;
    return isInteger ? (isUnsigned ? Kind::unsignedInteger : Kind::integer) : Kind::floating;
}

bool JsonCursor::beginObject(Sequence& sequence)
{
    skipSpace();
    if (p_ == end_ || *p_ != '{')
        return false;
    ++p_;
    sequence.first = true;
    return true;
}

bool JsonCursor::nextMember(Sequence& sequence, char close, bool& more)
{
    skipSpace();
    if (p_ == end_)
        return false;
    if (*p_ == close) {
        ++p_;
        more = false;
        return true;
    }
    if (!sequence.first) {
        if (*p_ != ',')
            return false;
        ++p_;
    }
    sequence.first = false;
    more = true;
    return true;
}

bool JsonCursor::nextKey(Sequence& sequence, std::string& key, bool& more)
{
    if (!nextMember(sequence, '}', more))
        return false;
    if (!more)
        return true;
    skipSpace();
    key.clear();
    if (p_ == end_ || *p_ != '"' || !scanString(&key))
        return false;
    skipSpace();
    if (p_ == end_ || *p_ != ':')
        return false;
    ++p_;
    return true;
}

bool JsonCursor::beginArray(Sequence& sequence)
{
    skipSpace();
    if (p_ == end_ || *p_ != '[')
        return false;
    ++p_;
    sequence.first = true;
    return true;
}

bool JsonCursor::nextElement(Sequence& sequence, bool& more)
{
    return nextMember(sequence, ']', more);
}

bool JsonCursor::readString(std::string& out)
{
    skipSpace();
    out.clear();
    return p_ < end_ && *p_ == '"' && scanString(&out);
}

bool JsonCursor::scanString(std::string* out)
{
    ++p_; // the opening quote
    const char* const start = p_;
    const char* run = p_;
    auto flush = [&] {
        if (out)
            out->append(run, static_cast<std::size_t>(p_ - run));
    };
    while (p_ < end_) {
#if defined(__SSE2__)
        if (p_ - start >= 3 && end_ - p_ >= 16) {
            p_ = skipPlainText(p_, end_);
            if (!p_)
                return false;
        }
#else
        // Plain ASCII needs no attention: skip it eight bytes at a time.
        while (end_ - p_ >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p_, 8);
            constexpr std::uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
            std::uint64_t quote = word ^ (ones * '"'), backslash = word ^ (ones * '\\');
            std::uint64_t special
                = ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) | (word - ones * 0x20) | word;
            if (special & highs)
                break;
            p_ += 8;
        }
#endif
        if (p_ == end_)
            break;
        unsigned char c = static_cast<unsigned char>(*p_);
        if (c == '"') {
            flush();
            ++p_;
            return true;
        }
        if (c < 0x20)
            return false;
        if (c < 0x80 && c != '\\') {
            ++p_;
            continue;
        }
        if (c >= 0x80) {
            std::size_t length = utf8Sequence(
                reinterpret_cast<const unsigned char*>(p_), reinterpret_cast<const unsigned char*>(end_));
            if (length == 0)
                return false;
            p_ += length;
            continue;
        }
        // An escape.
        flush();
        if (++p_ == end_)
            return false;
        char e = *p_++;
        char simple = 0;
        switch (e) {
        case '"':
            simple = '"';
            break;
        case '\\':
            simple = '\\';
            break;
        case '/':
            simple = '/';
            break;
        case 'b':
            simple = '\b';
            break;
        case 'f':
            simple = '\f';
            break;
        case 'n':
            simple = '\n';
            break;
        case 'r':
            simple = '\r';
            break;
        case 't':
            simple = '\t';
            break;
        case 'u':
            break;
        default:
            return false;
        }
        if (simple) {
            if (out)
                *out += simple;
        } else {
            auto hex4 = [&](std::uint32_t& value) {
                if (end_ - p_ < 4)
                    return false;
                value = 0;
                for (int i = 0; i < 4; ++i) {
                    int digit = hexDigitValue(p_[i]);
                    if (digit < 0)
                        return false;
                    value = value << 4 | static_cast<std::uint32_t>(digit);
                }
                p_ += 4;
                return true;
            };
            std::uint32_t code;
            if (!hex4(code))
                return false;
            if (code >= 0xD800 && code <= 0xDBFF) {
                std::uint32_t low;
                if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u')
                    return false;
                p_ += 2;
                if (!hex4(low) || low < 0xDC00 || low > 0xDFFF)
                    return false;
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            } else if (code >= 0xDC00 && code <= 0xDFFF) {
                return false;
            }
            if (out)
                appendUtf8(*out, code);
        }
        run = p_;
    }
    return false;
}

bool JsonCursor::readBoolean(bool& out)
{
    skipSpace();
    if (literal("true")) {
        out = true;
        return true;
    }
    if (literal("false")) {
        out = false;
        return true;
    }
    return false;
}

bool JsonCursor::literal(std::string_view word)
{
    if (static_cast<std::size_t>(end_ - p_) < word.size() || std::memcmp(p_, word.data(), word.size()) != 0)
        return false;
    p_ += word.size();
    return true;
}

bool JsonCursor::readNumber(
    bool& isInteger, std::int64_t& integer, std::uint64_t& unsignedValue, bool& isUnsigned, double& number)
{
    skipSpace();
    const char* start = p_;
    if (p_ < end_ && *p_ == '-')
        ++p_;
    if (p_ == end_)
        return false;
    if (*p_ == '0') {
        ++p_;
    } else if (*p_ >= '1' && *p_ <= '9') {
        while (p_ < end_ && *p_ >= '0' && *p_ <= '9')
            ++p_;
    } else {
        return false;
    }
    bool fraction = false;
    if (p_ < end_ && *p_ == '.') {
        fraction = true;
        ++p_;
        if (p_ == end_ || *p_ < '0' || *p_ > '9')
            return false;
        while (p_ < end_ && *p_ >= '0' && *p_ <= '9')
            ++p_;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
        fraction = true;
        ++p_;
        if (p_ < end_ && (*p_ == '+' || *p_ == '-'))
            ++p_;
        if (p_ == end_ || *p_ < '0' || *p_ > '9')
            return false;
        while (p_ < end_ && *p_ >= '0' && *p_ <= '9')
            ++p_;
    }
    isInteger = false;
    isUnsigned = false;
    if (!fraction) {
        // Like common JSON libraries: non-negative integers that only fit
        // unsigned stay integers; beyond 64 bits they become floating point.
        if (*start == '-') {
            auto [end, error] = std::from_chars(start, p_, integer);
            isInteger = error == std::errc() && end == p_;
        } else {
            auto [end, error] = std::from_chars(start, p_, unsignedValue);
            if (error == std::errc() && end == p_) {
                isInteger = true;
                isUnsigned = unsignedValue > static_cast<std::uint64_t>(INT64_MAX);
                integer = static_cast<std::int64_t>(unsignedValue);
            }
        }
        if (isInteger) {
            number = isUnsigned ? static_cast<double>(unsignedValue) : static_cast<double>(integer);
            return true;
        }
    }
    auto [end, error] = std::from_chars(start, p_, number);
    if (error == std::errc::result_out_of_range) {
        // Underflow reads as (nearly) zero; overflow is not a number at all.
        number = std::strtod(std::string(start, p_).c_str(), nullptr);
        return std::isfinite(number);
    }
    return end == p_ && error == std::errc();
}

bool JsonCursor::skipValue()
{
    return skipValue(0);
}

bool JsonCursor::skipValue(int depth)
{
    if (depth > kMaxDepth)
        return false;
    switch (peek()) {
    case Kind::object: {
        Sequence sequence;
        if (!beginObject(sequence))
            return false;
        std::string key;
        bool more = true;
        while (true) {
            if (!nextKey(sequence, key, more))
                return false;
            if (!more)
                return true;
            if (!skipValue(depth + 1))
                return false;
        }
    }
    case Kind::array: {
        Sequence sequence;
        if (!beginArray(sequence))
            return false;
        bool more = true;
        while (true) {
            if (!nextElement(sequence, more))
                return false;
            if (!more)
                return true;
            if (!skipValue(depth + 1))
                return false;
        }
    }
    case Kind::string:
        return scanString(nullptr);
    case Kind::boolean: {
        bool ignored;
        return readBoolean(ignored);
    }
    case Kind::null:
        return literal("null");
    case Kind::integer:
    case Kind::unsignedInteger:
    case Kind::floating: {
        bool isInteger, isUnsigned;
        std::int64_t integer;
        std::uint64_t unsignedValue;
        double number;
        return readNumber(isInteger, integer, unsignedValue, isUnsigned, number);
    }
    case Kind::invalid:
        return false;
    }
    return false;
}

bool JsonCursor::atEnd()
{
    skipSpace();
    return p_ == end_;
}

}
