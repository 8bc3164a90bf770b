#pragma once

#include <cstddef>

// The grapheme cluster boundaries of UTF-8 text from ICU's character
// segmenter, behind graphemeCount and graphemePrefix where the characters
// alone do not decide: calls `visit(context, offset)` with the offset after
// each cluster until it returns false. Returns false if the text could not be
// segmented.
//
// Defined in TextIcu.cpp. A program that should not load ICU at start-up may
// define it itself (korvid-excerpt does, loading ICU from a module on first
// use); the linker then leaves TextIcu.cpp, and ICU, out of it. Hence C
// linkage and a plain callback.
extern "C" bool korvid_grapheme_breaks(
    const char* utf8, std::size_t length, bool (*visit)(void* context, std::size_t end), void* context);
