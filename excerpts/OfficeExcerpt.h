#pragma once

#include <string>
#include <string_view>

// Text of a Word document (the body, paragraph by paragraph, tables included)
// or of an Excel workbook (the first visible sheet, row by row), read from the
// ZIP package in memory one entry at a time.
namespace korvid::OfficeExcerpt {

struct Excerpt {
    // May run a little past 3000 characters: reading stops after the
    // paragraph or row that reached them, and the caller cuts.
    std::string text;
    // "Word 正文 · 前 3000 字", or for a workbook the Excel label naming the
    // sheet that was read.
    std::string label;
};

// Throws DesktopError with a Chinese sentence when the package, one of its
// parts or the workbook's structure cannot be read.
Excerpt read(std::string_view data, bool workbook);

}
