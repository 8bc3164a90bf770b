#include "excerpts/MediaReaders.h"

#include "excerpts/MediaModule.h"
#include "base/Bundle.h"
#include "base/DesktopError.h"

#include <dlfcn.h>
#include <memory>
#include <mutex>

namespace korvid::MediaReaders {

namespace {

struct Module {
    KorvidMediaRead read = nullptr;
    KorvidMediaFree free = nullptr;
};

// Loaded once, from the private helper folder, and kept for the life of the process.
const Module& module(const char* file, std::once_flag& once, Module& slot)
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
        throw DesktopError("缺少读取 PDF 或图片的组件，请重新安装。");
    return slot;
}

std::string run(const Module& loaded, std::string_view data)
{
    char* text = nullptr;
    std::size_t length = 0;
    int status = loaded.read(data.data(), data.size(), &text, &length);
    std::unique_ptr<char, KorvidMediaFree> owned(text, loaded.free);
    if (!text)
        throw DesktopError("内存不足，未能完成操作。");
    std::string result(text, length);
    if (status != 0)
        throw DesktopError(result);
    return result;
}

}

std::string pdfText(std::string_view data)
{
    static std::once_flag once;
    static Module slot;
    return run(module("korvid-excerpt-pdf.so", once, slot), data);
}

std::string imageText(std::string_view data)
{
    static std::once_flag once;
    static Module slot;
    return run(module("korvid-excerpt-ocr.so", once, slot), data);
}

}
