#include "excerpts/PdfText.h"

#include "host/base/DesktopError.h"

#include <climits>
#include <memory>
#include <mutex>
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>
#include <vector>

namespace korvid::PdfText {

namespace {

constexpr const char* kUnreadable = "PDF 无法读取或已加密。";

void quiet(const std::string&, void*) { }

}

std::string read(std::string_view data)
{
    // Poppler reports every repaired cross-reference table on standard error;
    // the user sees either the text or one sentence.
    static std::once_flag silenced;
    std::call_once(silenced, [] { poppler::set_debug_error_function(quiet, nullptr); });

    if (data.empty() || data.size() > static_cast<std::size_t>(INT_MAX))
        throw DesktopError(kUnreadable);
    std::unique_ptr<poppler::document> document(
        poppler::document::load_from_raw_data(data.data(), static_cast<int>(data.size())));
    if (!document || document->is_locked())
        throw DesktopError(kUnreadable);

    int pages = std::min(document->pages(), kPageLimit);
    std::string text;
    bool first = true;
    for (int index = 0; index < pages; ++index) {
        std::unique_ptr<poppler::page> page(document->create_page(index));
        if (!page)
            continue;
        // Reading order, as a reader would follow the page, not its physical
        // layout with padding spaces.
        poppler::byte_array utf8 = page->text(poppler::rectf(), poppler::page::non_raw_non_physical_layout).to_utf8();
        // Poppler closes each page with line breaks and a form feed; the
        // pages are joined with one line feed instead.
        while (!utf8.empty() && (utf8.back() == '\f' || utf8.back() == '\n'))
            utf8.pop_back();
        if (utf8.empty())
            continue;
        if (!first)
            text += '\n';
        text.append(utf8.begin(), utf8.end());
        first = false;
    }
    return text;
}

}
