// The parts of Text.h that call into ICU's library rather than use its UTF-8
// macros: the character segmenter and Unicode white space. Kept apart from
// Text.cpp so that a program can leave them out (see GraphemeBreaks.h).
#include "base/GraphemeBreaks.h"
#include "base/Text.h"

#include <memory>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

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

}

extern "C" bool korvid_grapheme_breaks(
    const char* utf8, std::size_t length, bool (*visit)(void* context, std::size_t end), void* context)
{
    icu::BreakIterator* iterator = characterIterator();
    if (!iterator)
        return false;
    UErrorCode status = U_ZERO_ERROR;
    UText* text = utext_openUTF8(nullptr, utf8, static_cast<int64_t>(length), &status);
    if (U_FAILURE(status))
        return false;
    iterator->setText(text, status);
    bool ok = U_SUCCESS(status);
    if (ok) {
        for (int32_t end = iterator->next(); end != icu::BreakIterator::DONE; end = iterator->next()) {
            if (!visit(context, static_cast<std::size_t>(end)))
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

namespace korvid {

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
