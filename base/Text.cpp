#include "base/Text.h"

#include <memory>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

namespace korvid {

namespace {

// A character break iterator is costly to create; each thread keeps one.
icu::BreakIterator* characterIterator()
{
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status))
            made.reset();
        return made;
    }();
    return iterator.get();
}

// Calls `visit(offset)` with the UTF-8 offset after each grapheme cluster
// until it returns false. Returns false if the text could not be segmented.
template <typename Visit> bool forEachClusterEnd(std::string_view utf8, Visit visit)
{
    icu::BreakIterator* iterator = characterIterator();
    if (!iterator)
        return false;
    UErrorCode status = U_ZERO_ERROR;
    UText* text = utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status);
    if (U_FAILURE(status))
        return false;
    iterator->setText(text, status);
    bool ok = U_SUCCESS(status);
    if (ok) {
        for (int32_t end = iterator->next(); end != icu::BreakIterator::DONE; end = iterator->next()) {
            if (!visit(static_cast<std::size_t>(end)))
                break;
        }
    }
    // The iterator keeps a shallow clone of the UText; detach it before closing ours.
    UText empty = UTEXT_INITIALIZER;
    UErrorCode ignored = U_ZERO_ERROR;
    utext_openUTF8(&empty, "", 0, &ignored);
    iterator->setText(&empty, ignored);
    utext_close(&empty);
    utext_close(text);
    return ok;
}

}

std::size_t utf16Length(std::string_view utf8)
{
    std::size_t units = 0;
    const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
    int32_t length = static_cast<int32_t>(utf8.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(s, i, length, c);
        units += (c > 0xFFFF) ? 2 : 1;
    }
    return units;
}

bool isValidUtf8(std::string_view bytes)
{
    const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
    int32_t length = static_cast<int32_t>(bytes.size());
    for (int32_t i = 0; i < length;) {
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0)
            return false;
    }
    return true;
}

std::string repairUtf8(std::string_view bytes)
{
    if (isValidUtf8(bytes))
        return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + 16);
    const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
    int32_t length = static_cast<int32_t>(bytes.size());
    for (int32_t i = 0; i < length;) {
        int32_t start = i;
        UChar32 c;
        // Steps over the whole ill-formed part, so it becomes one U+FFFD.
        U8_NEXT(s, i, length, c);
        if (c < 0)
            out += "\xEF\xBF\xBD";
        else
            out.append(bytes.data() + start, static_cast<std::size_t>(i - start));
    }
    return out;
}

std::size_t graphemeCount(std::string_view utf8)
{
    std::size_t count = 0;
    if (!forEachClusterEnd(utf8, [&](std::size_t) {
            ++count;
            return true;
        }))
        return utf16Length(utf8);
    return count;
}

std::string graphemePrefix(std::string_view utf8, std::size_t count)
{
    if (count == 0)
        return {};
    // No text of `count` bytes or fewer can hold more than `count` clusters.
    if (utf8.size() <= count)
        return std::string(utf8);
    std::size_t seen = 0;
    std::size_t cut = utf8.size();
    forEachClusterEnd(utf8, [&](std::size_t end) {
        if (++seen == count) {
            cut = end;
            return false;
        }
        return true;
    });
    return std::string(utf8.substr(0, cut));
}

std::string trimWhitespace(std::string_view utf8)
{
    const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
    int32_t length = static_cast<int32_t>(utf8.size());
    int32_t start = 0;
    while (start < length) {
        int32_t next = start;
        UChar32 c;
        U8_NEXT(s, next, length, c);
        if (c < 0 || !u_isUWhiteSpace(c))
            break;
        start = next;
    }
    int32_t end = length;
    while (end > start) {
        int32_t previous = end;
        UChar32 c;
        U8_PREV(s, start, previous, c);
        if (c < 0 || !u_isUWhiteSpace(c))
            break;
        end = previous;
    }
    return std::string(utf8.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
}

}
