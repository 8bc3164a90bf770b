#pragma once

#include <cstddef>

// The entry point of a loadable reader module (korvid-excerpt-pdf.so,
// korvid-excerpt-ocr.so). On success it returns 0 and `*text` holds the text;
// on failure it returns 1 and `*text` holds the Chinese sentence. Either way
// the caller frees `*text` with korvid_media_free.
extern "C" {
using KorvidMediaRead = int (*)(const char* data, std::size_t size, char** text, std::size_t* length);
using KorvidMediaFree = void (*)(char* text);
}

#define KORVID_MEDIA_READ_SYMBOL "korvid_media_read"
#define KORVID_MEDIA_FREE_SYMBOL "korvid_media_free"
