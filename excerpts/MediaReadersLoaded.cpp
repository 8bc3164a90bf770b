#include "excerpts/MediaReaders.h"

#include "excerpts/MediaModule.h"
#include "base/Bundle.h"
#include "base/DesktopError.h"
#include "base/GraphemeBreaks.h"

#include <dlfcn.h>
#include <memory>
#include <mutex>

namespace korvid::MediaReaders {

namespace {

constexpr const char* kMediaMissing = "缺少读取 PDF 或图片的组件，请重新安装。";
constexpr const char* kOfficeMissing = "缺少读取 Word 或 Excel 文件的组件，请重新安装。";

// A module from the private helper folder, loaded on first use and kept for
// the life of the process.
class LoadedModule {
public:
    explicit LoadedModule(const char* file)
        : file_(file)
    {
    }

    // Null when the module or the symbol is missing.
    void* symbol(const char* name)
    {
        std::call_once(once_, [&] {
            std::string path = bundledHelper(file_).string();
            // Lazy binding: only the symbols a read really uses get resolved.
            handle_ = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
        });
        return handle_ ? dlsym(handle_, name) : nullptr;
    }

private:
    const char* file_;
    std::once_flag once_;
    void* handle_ = nullptr;
};

struct Module {
    KorvidMediaRead read = nullptr;
    KorvidMediaFree free = nullptr;
};

Module readerOf(LoadedModule& loaded, const char* missing)
{
    Module module { reinterpret_cast<KorvidMediaRead>(loaded.symbol(KORVID_MEDIA_READ_SYMBOL)),
        reinterpret_cast<KorvidMediaFree>(loaded.symbol(KORVID_MEDIA_FREE_SYMBOL)) };
    if (!module.read || !module.free)
        throw DesktopError(missing);
    return module;
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
    static LoadedModule pdf("korvid-excerpt-pdf.so");
    return run(readerOf(pdf, kMediaMissing), data).text;
}

std::string imageText(std::string_view data)
{
    static LoadedModule ocr("korvid-excerpt-ocr.so");
    return run(readerOf(ocr, kMediaMissing), data).text;
}

OfficeExcerpt::Excerpt officeExcerpt(std::string_view data, bool workbook)
{
    static LoadedModule office("korvid-excerpt-office.so");
    return run(readerOf(office, kOfficeMissing), data, workbook ? 1 : 0);
}

}

// Takes the place of base's ICU segmenter in the tool: ICU is loaded, from a
// module, only for a cut that the characters alone do not decide.
extern "C" bool korvid_grapheme_breaks(
    const char* utf8, std::size_t length, bool (*visit)(void* context, std::size_t end), void* context)
{
    using Breaks = bool (*)(const char*, std::size_t, bool (*)(void*, std::size_t), void*);
    static korvid::MediaReaders::LoadedModule text("korvid-excerpt-text.so");
    auto breaks = reinterpret_cast<Breaks>(text.symbol("korvid_text_grapheme_breaks"));
    if (!breaks)
        throw korvid::DesktopError("缺少处理文字的组件，请重新安装。");
    return breaks(utf8, length, visit, context);
}
