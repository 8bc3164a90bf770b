#pragma once

#include <string>
#include <string_view>

// The two readers that need large libraries: PDF text (poppler) and text
// recognition of images (GdkPixbuf, Tesseract). The application links them
// in (MediaReadersLinked.cpp); the korvid-excerpt tool loads them only when a
// file needs one (MediaReadersLoaded.cpp), so that reading a text or Office
// file does not pay for loading them.
namespace korvid::MediaReaders {

// PdfText::read.
std::string pdfText(std::string_view data);
// TextRecognizer::recognize of PosterImage::decode.
std::string imageText(std::string_view data);

}
