#include "excerpts/PdfText.h"

#include "base/DesktopError.h"

#include <charconv>
#include <climits>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>
#include <sched.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace korvid::PdfText {

namespace {

constexpr const char* kUnreadable = "PDF 无法读取或已加密。";

void quiet(const std::string&, void*)
{
}

std::unique_ptr<poppler::document> open(std::string_view data)
{
    std::unique_ptr<poppler::document> document(
        poppler::document::load_from_raw_data(data.data(), static_cast<int>(data.size())));
    // A file cut short before its page tree still opens, with no pages; that
    // is a broken file, not a document without text.
    if (!document || document->is_locked() || document->pages() <= 0)
        throw DesktopError(kUnreadable);
    return document;
}

// The texts of pages [first, last), each without the line breaks and form
// feed poppler closes a page with; a page without text gives an empty string.
std::vector<std::string> pageTexts(poppler::document& document, int first, int last)
{
    std::vector<std::string> texts;
    for (int index = first; index < last; ++index) {
        std::unique_ptr<poppler::page> page(document.create_page(index));
        if (!page) {
            texts.emplace_back();
            continue;
        }
        // Reading order, as a reader follows the page, not its physical
        // layout padded with spaces.
        poppler::byte_array utf8 = page->text(poppler::rectf(), poppler::page::non_raw_non_physical_layout).to_utf8();
        while (!utf8.empty() && (utf8.back() == '\f' || utf8.back() == '\n'))
            utf8.pop_back();
        texts.emplace_back(utf8.begin(), utf8.end());
    }
    return texts;
}

// Asked at the moment of the split, not from a load average that trails the
// machine by a minute: one short read of a file the kernel writes on demand,
// a few microseconds. /proc/stat's procs_running is the same count, but that
// file sums every CPU's and every interrupt's counters on each read. Anything
// unexpected means no split.
bool coreIsFreeNow()
{
    cpu_set_t usable;
    if (sched_getaffinity(0, sizeof usable, &usable) != 0 || CPU_COUNT(&usable) < 2)
        return false;
    int file = ::open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return false;
    char buffer[128];
    ssize_t size = ::read(file, buffer, sizeof buffer);
    ::close(file);
    return size > 0 && coreIsFree(std::string_view(buffer, static_cast<std::size_t>(size)), CPU_COUNT(&usable));
}

}

bool coreIsFree(std::string_view loadavg, int usableCpus)
{
    // "0.52 0.58 0.59 1/467 12345": the three averages, then runnable/total.
    std::size_t start = 0;
    for (int field = 0; field < 3; ++field) {
        std::size_t space = loadavg.find(' ', start);
        if (space == std::string_view::npos)
            return false;
        start = space + 1;
    }
    const char* end = loadavg.data() + loadavg.size();
    int runnable = 0;
    auto [next, error] = std::from_chars(loadavg.data() + start, end, runnable);
    if (error != std::errc() || next == end || *next != '/')
        return false;
    // The reader is runnable itself, so fewer than one is no count at all.
    return runnable >= 1 && runnable < usableCpus;
}

std::string read(std::string_view data, Split split)
{
    // Poppler reports every repaired cross-reference table on standard error;
    // the user sees either the text or one sentence.
    static std::once_flag silenced;
    std::call_once(silenced, [] { poppler::set_debug_error_function(quiet, nullptr); });

    if (data.empty() || data.size() > static_cast<std::size_t>(INT_MAX))
        throw DesktopError(kUnreadable);
    std::unique_ptr<poppler::document> document = open(data);
    int pages = std::min(document->pages(), kPageLimit);

    // Laying out a page's text is the costly part; with a CPU free the later
    // pages are laid out at once on a second thread, from a document of its
    // own (poppler documents are not shared between threads).
    bool twoThreads = pages >= 3 && (split == Split::always || (split == Split::whenCoreIsFree && coreIsFreeNow()));
    std::vector<std::string> texts;
    if (twoThreads) {
        int laterFirst = (pages + 1) / 2;
        std::vector<std::string> later;
        std::exception_ptr laterError;
        std::thread helper([&] {
            try {
                std::unique_ptr<poppler::document> own = open(data);
                later = pageTexts(*own, laterFirst, pages);
            } catch (...) {
                laterError = std::current_exception();
            }
        });
        try {
            texts = pageTexts(*document, 0, laterFirst);
        } catch (...) {
            helper.join();
            throw;
        }
        helper.join();
        if (laterError)
            std::rethrow_exception(laterError);
        texts.insert(texts.end(), std::make_move_iterator(later.begin()), std::make_move_iterator(later.end()));
    } else {
        texts = pageTexts(*document, 0, pages);
    }

    std::string text;
    for (const std::string& page : texts) {
        if (page.empty())
            continue;
        if (!text.empty())
            text += '\n';
        text += page;
    }
    return text;
}

}
