#pragma once

#include "excerpts/PosterImage.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

// Real documents made on the spot for the readers' tests: ZIP packages from
// XML text, PDFs and images rendered with cairo and pango.
namespace korvid::fixtures {

using Entries = std::vector<std::pair<std::string, std::string>>;

// A ZIP package holding the entries, deflated, in the order given.
std::string zip(const Entries& entries);

// A Word package whose body holds `bodyXml` (w: prefixed elements).
std::string docx(const std::string& bodyXml);
std::string paragraph(const std::string& text);

// An Excel package from its parts; parts left empty are omitted.
struct Workbook {
    std::string workbookXml;
    std::string relationshipsXml;
    std::string sharedStringsXml;
    Entries sheets; // name under xl/, XML
};
std::string xlsx(const Workbook& workbook);
// A workbook of one visible sheet "Sheet1" whose sheetData holds `rowsXml`.
std::string simpleXlsx(const std::string& rowsXml, const std::string& sharedStringsXml = {});

// A PDF with one page per entry; each page shows its lines of text. An
// empty entry is a page with no text at all.
std::string pdf(const std::vector<std::vector<std::string>>& pages);

// A white PNG with the lines in black, large and clear.
std::string png(const std::vector<std::string>& lines, int width = 1400);
// The same picture rotated 90 degrees clockwise in its pixels, stored as a
// JPEG that carries EXIF orientation 6 (turn 90 degrees clockwise to view)
// or, with `orientation` 1, the upright picture without rotation.
std::string jpeg(const std::vector<std::string>& lines, int orientation, int width = 1400);

// A decoded picture's pixels as RGB, grey spread to all three channels.
std::vector<std::uint8_t> rgbOf(const PosterImage& image);

// A temporary folder removed with its contents on destruction.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path write(const std::string& name, const std::string& bytes) const;

private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);

}
