// One reader module: KORVID_MEDIA_PDF builds the PDF one, KORVID_MEDIA_OFFICE
// the Word and Excel one, otherwise the image one. Errors never cross the
// module boundary as exceptions.
#include "excerpts/MediaModule.h"

#include "base/DesktopError.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#if defined(KORVID_MEDIA_PDF)
#include "excerpts/PdfText.h"
#elif defined(KORVID_MEDIA_OFFICE)
#include "excerpts/OfficeExcerpt.h"
#else
#include "excerpts/PosterImage.h"
#include "excerpts/TextRecognizer.h"
#endif

namespace {

struct Reading {
    std::string text;
    std::string label;
};

Reading readFile(std::string_view data, int variant)
{
#if defined(KORVID_MEDIA_PDF)
    return { korvid::PdfText::read(data), {} };
#elif defined(KORVID_MEDIA_OFFICE)
    korvid::OfficeExcerpt::Excerpt excerpt = korvid::OfficeExcerpt::read(data, variant != 0);
    return { std::move(excerpt.text), std::move(excerpt.label) };
#else
    return { korvid::TextRecognizer::recognize(korvid::PosterImage::decode(data)), {} };
#endif
}

char* copy(const std::string& text)
{
    char* out = static_cast<char*>(std::malloc(text.size() + 1));
    if (out)
        std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

}

extern "C" __attribute__((visibility("default"))) void korvid_media_free(KorvidMediaResult* result)
{
    std::free(result->text);
    std::free(result->label);
    *result = {};
}

extern "C" __attribute__((visibility("default"))) int korvid_media_read(
    const char* data, std::size_t size, int variant, KorvidMediaResult* result)
{
    *result = {};
    Reading reading;
    int status = 0;
    try {
        reading = readFile(std::string_view(data, size), variant);
    } catch (const korvid::DesktopError& error) {
        reading = { error.message, {} };
        status = 1;
    } catch (const std::bad_alloc&) {
        reading = { "内存不足，未能完成操作。", {} };
        status = 1;
    } catch (...) {
        reading = { "操作未能完成，请稍后重试。", {} };
        status = 1;
    }
    result->text = copy(reading.text);
    result->length = result->text ? reading.text.size() : 0;
    if (status == 0 && !reading.label.empty()) {
        result->label = copy(reading.label);
        result->labelLength = result->label ? reading.label.size() : 0;
        // A label that could not be copied fails the read like the text.
        if (!result->label) {
            korvid_media_free(result);
            return 1;
        }
    }
    return result->text ? status : 1;
}
