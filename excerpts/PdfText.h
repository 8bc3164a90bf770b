#pragma once

#include <string>
#include <string_view>

// The text layer of the first six pages of a PDF held in memory.
namespace korvid::PdfText {

inline constexpr int kPageLimit = 6;

// Pages' texts joined with "\n"; a page without text adds nothing. Throws
// DesktopError "PDF 无法读取或已加密。" when the document cannot be opened or
// needs a password.
std::string read(std::string_view data);

}
