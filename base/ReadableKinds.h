#pragma once

#include <algorithm>
#include <array>
#include <string_view>

namespace korvid {

// How the text of a kind of file is taken out.
enum class KindReader { text, pdf, image, word, workbook };

struct ReadableKind {
    std::string_view extension; // lower case, without the dot
    std::string_view mimeType;
    KindReader reader;
    // Whether an event inspection reads it; comma-separated values are only
    // ever attached to a task, where they are kept as text.
    bool inspected;
    // Whether the event file chooser offers it. Office files are read when
    // they reach an inspection another way, but a meeting's file is picked
    // from text, PDF and pictures.
    bool offeredForEvents;
};

// Every kind of file the app reads, by extension.
inline constexpr std::array<ReadableKind, 9> kReadableKinds { {
    { "txt", "text/plain", KindReader::text, true, true },
    { "md", "text/markdown", KindReader::text, true, true },
    { "csv", "text/csv", KindReader::text, false, false },
    { "pdf", "application/pdf", KindReader::pdf, true, true },
    { "docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document", KindReader::word, true,
        false },
    { "xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", KindReader::workbook, true, false },
    { "jpg", "image/jpeg", KindReader::image, true, true },
    { "jpeg", "image/jpeg", KindReader::image, true, true },
    { "png", "image/png", KindReader::image, true, true },
} };

// The kind for a lower-case extension, or null when the app does not read it.
inline const ReadableKind* readableKind(std::string_view extension)
{
    auto found = std::find_if(kReadableKinds.begin(), kReadableKinds.end(),
        [&](const ReadableKind& kind) { return kind.extension == extension; });
    return found == kReadableKinds.end() ? nullptr : &*found;
}

}
