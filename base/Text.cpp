#include "base/Text.h"

#include "base/GraphemeBreaks.h"

#include <cstdint>
#include <utility>
// ICU's UTF-8 macros only: nothing here calls into ICU's library (see
// TextIcu.cpp).
#include <unicode/utf8.h>

namespace korvid {

namespace {

// The segmenter's boundaries, through korvid_grapheme_breaks.
template <typename Visit> bool forEachClusterEnd(std::string_view utf8, Visit visit)
{
    return korvid_grapheme_breaks(
        utf8.data(), utf8.size(), [](void* context, std::size_t end) { return (*static_cast<Visit*>(context))(end); },
        &visit);
}

// Characters whose grapheme-break class is Other, Control or LF (carriage
// return left out): a boundary always falls between two of them, so a run of
// them is one cluster per character and needs no segmenter. They cover
// Chinese, Japanese and Western text with its punctuation, and the symbols
// and private-use characters PDF fonts map to; any other character goes to
// the segmenter. base_test checks every range against it.
constexpr std::pair<UChar32, UChar32> kStandalone[] = {
    // Controls, ASCII, Latin-1, Latin Extended-A and -B.
    { 0x0000, 0x000C },
    { 0x000E, 0x024F },
    // General punctuation without the joiners, currency, letterlike symbols,
    // arrows, mathematical operators, box drawing and geometric shapes.
    { 0x2000, 0x200B },
    { 0x200E, 0x2064 },
    { 0x20A0, 0x20C0 },
    { 0x2100, 0x214F },
    { 0x2190, 0x22FF },
    { 0x2500, 0x25FF },
    // CJK punctuation and kana without their combining marks, CJK ideographs.
    { 0x3000, 0x3029 },
    { 0x3030, 0x303F },
    { 0x3041, 0x3096 },
    { 0x309B, 0x30FF },
    { 0x3400, 0x4DBF },
    { 0x4E00, 0x9FFF },
    // Private use, CJK compatibility ideographs, Latin ligatures, full-width
    // forms and half-width kana.
    { 0xE000, 0xF8FF },
    { 0xF900, 0xFA6D },
    { 0xFB00, 0xFB06 },
    { 0xFF01, 0xFF9D },
};

bool standsAlone(UChar32 c)
{
    for (const auto& [first, last] : kStandalone) {
        if (c < first)
            return false;
        if (c <= last)
            return true;
    }
    return false;
}

struct StandaloneRun {
    std::size_t characters = 0;
    std::size_t end = 0; // UTF-8 offset after them
};

// The characters at the start of the text that stand alone, at most `limit`.
StandaloneRun standaloneRun(std::string_view utf8, std::size_t limit)
{
    const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
    int32_t length = static_cast<int32_t>(utf8.size());
    StandaloneRun run;
    for (int32_t i = 0; i < length && run.characters < limit;) {
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0 || !standsAlone(c))
            break;
        ++run.characters;
        run.end = static_cast<std::size_t>(i);
    }
    return run;
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
    StandaloneRun run = standaloneRun(utf8, SIZE_MAX);
    if (run.end == utf8.size())
        return run.characters;
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
    // Without a segmenter when the first `count` characters and the one after
    // them stand alone, or the whole text does.
    StandaloneRun run = standaloneRun(utf8, count);
    if (run.end == utf8.size())
        return std::string(utf8);
    if (run.characters == count && standaloneRun(utf8.substr(run.end), 1).characters == 1)
        return std::string(utf8.substr(0, run.end));
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

}
