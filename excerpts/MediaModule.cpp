// One reader module: KORVID_MEDIA_PDF builds the PDF one, otherwise the
// image one. Errors never cross the module boundary as exceptions.
#include "excerpts/MediaModule.h"

#include "base/DesktopError.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#ifdef KORVID_MEDIA_PDF
#include "excerpts/PdfText.h"
#else
#include "excerpts/PosterImage.h"
#include "excerpts/TextRecognizer.h"
#endif

namespace {

std::string readText(std::string_view data)
{
#ifdef KORVID_MEDIA_PDF
    return korvid::PdfText::read(data);
#else
    return korvid::TextRecognizer::recognize(korvid::PosterImage::decode(data));
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

extern "C" __attribute__((visibility("default"))) int korvid_media_read(
    const char* data, std::size_t size, char** text, std::size_t* length)
{
    std::string result;
    int status = 0;
    try {
        result = readText(std::string_view(data, size));
    } catch (const korvid::DesktopError& error) {
        result = error.message;
        status = 1;
    } catch (const std::bad_alloc&) {
        result = "内存不足，未能完成操作。";
        status = 1;
    } catch (...) {
        result = "操作未能完成，请稍后重试。";
        status = 1;
    }
    *text = copy(result);
    *length = *text ? result.size() : 0;
    return *text ? status : 1;
}

extern "C" __attribute__((visibility("default"))) void korvid_media_free(char* text)
{
    std::free(text);
}
