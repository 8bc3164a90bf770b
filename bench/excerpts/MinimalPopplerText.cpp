// The least a program can do to print a PDF's first pages through poppler's
// public C++ interface: open the file, lay out the text of up to six pages
// the way korvid-excerpt's PDF reader does (reading order, one thread) and
// write it out. compare.py times it beside korvid-excerpt and pdftotext, so
// that the cost of loading poppler-cpp, which pdftotext does not pay, is
// measured rather than argued.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>
#include <string>

namespace {

constexpr int kPageLimit = 6;

void quiet(const std::string&, void*)
{
}

}

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE.pdf\n", argv[0]);
        return 2;
    }
    // korvid-excerpt silences poppler's repair messages too.
    poppler::set_debug_error_function(quiet, nullptr);
    std::unique_ptr<poppler::document> document(poppler::document::load_from_file(argv[1]));
    if (!document || document->is_locked())
        return 1;
    int pages = std::min(document->pages(), kPageLimit);
    for (int index = 0; index < pages; ++index) {
        std::unique_ptr<poppler::page> page(document->create_page(index));
        if (!page)
            continue;
        poppler::byte_array utf8 = page->text(poppler::rectf(), poppler::page::non_raw_non_physical_layout).to_utf8();
        std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    }
    return 0;
}
