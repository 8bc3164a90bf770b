#include "excerpts/MediaReaders.h"

#include "excerpts/PdfText.h"
#include "excerpts/PosterImage.h"
#include "excerpts/TextRecognizer.h"

namespace korvid::MediaReaders {

std::string pdfText(std::string_view data)
{
    return PdfText::read(data);
}

std::string imageText(std::string_view data)
{
    return TextRecognizer::recognize(PosterImage::decode(data));
}

OfficeExcerpt::Excerpt officeExcerpt(std::string_view data, bool workbook)
{
    return OfficeExcerpt::read(data, workbook);
}

}
