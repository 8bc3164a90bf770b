#pragma once

#include "excerpts/OfficeExcerpt.h"

#include <string>
#include <string_view>

// The readers that need large libraries: PDF text (poppler), text
// recognition of images (GdkPixbuf, Tesseract) and Word and Excel files
// (libzip, pugixml). The application links them in (MediaReadersLinked.cpp);
// the korvid-excerpt tool loads each only when a file needs it
// (MediaReadersLoaded.cpp), so that reading one kind of file does not pay for
// loading the libraries of the others.
namespace korvid::MediaReaders {

// PdfText::read.
std::string pdfText(std::string_view data);
// TextRecognizer::recognize of PosterImage::decode.
std::string imageText(std::string_view data);
// OfficeExcerpt::read.
OfficeExcerpt::Excerpt officeExcerpt(std::string_view data, bool workbook);

}
