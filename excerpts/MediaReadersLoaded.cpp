#include "excerpts/MediaReaders.h"

#include "excerpts/MediaModule.h"
#include "base/Bundle.h"
#include "base/DesktopError.h"

#include <dlfcn.h>
#include <memory>
#include <mutex>

namespace korvid::MediaReaders {

namespace {

constexpr const char* kMediaMissing = "缺少读取 PDF 或图片的组件，请重新安装。";
constexpr const char* kOfficeMissing = "缺少读取 Word 或 Excel 文件的组件，请重新安装。";

struct Module {
    KorvidMediaRead read = nullptr;
    KorvidMediaFree free = nullptr;
};

// Loaded once, from the private helper folder, and kept for the life of the process.
const Module& module(const char* file, const char* missing, std::once_flag& once, Module& slot)
{
    std::call_once(once, [&] {
        std::string path = bundledHelper(file).string();
        // Lazy binding: only the symbols a read really uses get resolved.
        void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
        if (!handle)
            return;
        slot.read = reinterpret_cast<KorvidMediaRead>(dlsym(handle, KORVID_MEDIA_READ_SYMBOL));
        slot.free = reinterpret_cast<KorvidMediaFree>(dlsym(handle, KORVID_MEDIA_FREE_SYMBOL));
    });
    if (!slot.read || !slot.free)
        throw DesktopError(missing);
    return slot;
}

OfficeExcerpt::Excerpt run(const Module& loaded, std::string_view data, int variant = 0)
{
    KorvidMediaResult result {};
    int status = loaded.read(data.data(), data.size(), variant, &result);
    std::unique_ptr<KorvidMediaResult, KorvidMediaFree> owned(&result, loaded.free);
    if (!result.text)
        throw DesktopError("内存不足，未能完成操作。");
    OfficeExcerpt::Excerpt reading { std::string(result.text, result.length), {} };
    if (status != 0)
        throw DesktopError(std::move(reading.text));
    if (result.label)
        reading.label.assign(result.label, result.labelLength);
    return reading;
}

}

std::string pdfText(std::string_view data)
{
    static std::once_flag once;
    static Module slot;
    return run(module("korvid-excerpt-pdf.so", kMediaMissing, once, slot), data).text;
}

std::string imageText(std::string_view data)
{
    static std::once_flag once;
    static Module slot;
    return run(module("korvid-excerpt-ocr.so", kMediaMissing, once, slot), data).text;
}

OfficeExcerpt::Excerpt officeExcerpt(std::string_view data, bool workbook)
{
    static std::once_flag once;
    static Module slot;
    return run(module("korvid-excerpt-office.so", kOfficeMissing, once, slot), data, workbook ? 1 : 0);
}

}
