#pragma once

#include <cstddef>

// The entry point of a loadable reader module (korvid-excerpt-pdf.so,
// korvid-excerpt-ocr.so, korvid-excerpt-office.so). `variant` matters to the
// Office module only: nonzero reads an Excel workbook, zero a Word document.
// On success it returns 0, `result->text` holds the text and
// `result->label`, for the Office module, the label naming what was read
// (null from the others); on failure it returns 1 and `result->text` holds
// the Chinese sentence. Either way the caller frees the result with
// korvid_media_free.
extern "C" {
struct KorvidMediaResult {
    char* text;
    std::size_t length;
    char* label;
    std::size_t labelLength;
};
using KorvidMediaRead = int (*)(const char* data, std::size_t size, int variant, KorvidMediaResult* result);
using KorvidMediaFree = void (*)(KorvidMediaResult* result);
}

#define KORVID_MEDIA_READ_SYMBOL "korvid_media_read"
#define KORVID_MEDIA_FREE_SYMBOL "korvid_media_free"
