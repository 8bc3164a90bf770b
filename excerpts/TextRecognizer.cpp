#include "excerpts/TextRecognizer.h"

#include "base/DesktopError.h"

#include <memory>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

namespace korvid::TextRecognizer {

namespace {

constexpr const char* kLanguages = "chi_sim+eng";

struct Engine {
    tesseract::TessBaseAPI api;
    bool ready = false;

    Engine()
    {
        // The data folder comes from TESSDATA_PREFIX or the packaged default.
        ready = api.Init(nullptr, kLanguages, tesseract::OEM_DEFAULT) == 0;
        if (!ready)
            return;
        // Whole-page layout analysis, as for a poster or a scanned page.
        api.SetPageSegMode(tesseract::PSM_AUTO);
        // Diagnostics ("Estimating resolution as ...") are not for the user.
        api.SetVariable("debug_file", "/dev/null");
    }
};

Engine& engine()
{
    thread_local Engine local;
    return local;
}

// Each line as Tesseract returns it ends with a line feed; a line that is
// nothing but white space has no text to offer.
std::string trimmed(const char* text)
{
    std::string line = text ? text : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ' || line.back() == '\r'))
        line.pop_back();
    std::size_t start = line.find_first_not_of(' ');
    return start == std::string::npos ? std::string() : line.substr(start);
}

}

std::string recognize(const PosterImage& image)
{
    Engine& local = engine();
    if (!local.ready)
        throw DesktopError("本机文字识别无法启动：缺少简体中文或英文识别数据。");
    tesseract::TessBaseAPI& api = local.api;

    struct Clear {
        tesseract::TessBaseAPI& api;
        ~Clear() { api.Clear(); }
    } clear { api };

    api.SetImage(image.pixels.data(), image.width, image.height, image.channels, image.width * image.channels);
    // Without a recorded density Tesseract estimates one from the text size.
    if (image.dpi > 0)
        api.SetSourceResolution(image.dpi);
    if (api.Recognize(nullptr) != 0)
        throw DesktopError("图片文字识别失败，请换一张图片再试。");

    std::string text;
    bool first = true;
    std::unique_ptr<tesseract::ResultIterator> lines(api.GetIterator());
    if (!lines)
        return text;
    do {
        std::unique_ptr<char[]> raw(lines->GetUTF8Text(tesseract::RIL_TEXTLINE));
        std::string line = trimmed(raw.get());
        if (line.empty())
            continue;
        if (!first)
            text += '\n';
        text += line;
        first = false;
    } while (lines->Next(tesseract::RIL_TEXTLINE));
    return text;
}

}
