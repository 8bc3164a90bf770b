#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvid {

// A strict, allocation-light reader of JSON text (RFC 8259: no comments, no
// trailing commas, strings of valid UTF-8, surrogate pairs matched) that
// walks a document in order. The store reads every task file on each
// listing, and this is several times faster than building a document tree.
//
// Every read returns false on malformed text; the caller then gives up on
// the document.
class JsonCursor {
public:
    enum class Kind { object, array, string, integer, unsignedInteger, floating, boolean, null, invalid };

    explicit JsonCursor(std::string_view text)
        : p_(text.data())
        , end_(text.data() + text.size())
    {
    }

    // What the next value is, judged by its first character, without
    // consuming it (numbers are told apart by reading them).
    Kind peek();

    // The position within one object or array being walked.
    struct Sequence {
        bool first = true;
    };

    // Objects: beginObject, then nextKey until `more` comes back false (end
    // of the object), reading one value after each key. Arrays alike.
    bool beginObject(Sequence& sequence);
    bool nextKey(Sequence& sequence, std::string& key, bool& more);
    bool beginArray(Sequence& sequence);
    bool nextElement(Sequence& sequence, bool& more);

    bool readString(std::string& out);
    bool readBoolean(bool& out);
    // Integers as JSON writers mean them: no fraction, no exponent, within
    // 64 bits; `isInteger` false for other numbers.
    bool readNumber(
        bool& isInteger, std::int64_t& integer, std::uint64_t& unsignedValue, bool& isUnsigned, double& number);
    bool skipValue();
    // Only white space remains.
    bool atEnd();

private:
    void skipSpace();
    // Past the comma before the next member, or the `close` that ends the
    // object or array (then `more` is false).
    bool nextMember(Sequence& sequence, char close, bool& more);
    bool scanString(std::string* out);
    bool skipValue(int depth);
    bool literal(std::string_view word);

    const char* p_;
    const char* end_;
};

}
