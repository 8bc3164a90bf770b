// Feeds arbitrary bytes to every reader through EventSource::excerpt, the
// first byte choosing the file name's extension. The record must always be
// valid JSON; any DesktopError is an accepted answer.
#include "excerpts/EventSource.h"
#include "base/DesktopError.h"
#include "base/Text.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const char* const names[]
        = { "a.txt", "b.MD", "c.pdf", "d.png", "e.JPG", "f.docx", "g.xlsx", "h.jpeg", "i.csv" };
    if (size == 0)
        return 0;
    const char* name = names[data[0] % (sizeof names / sizeof names[0])];
    std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        korvid::Json record = korvid::EventSource::excerpt(bytes, name);
        std::string excerpt = record.at("excerpt");
        if (record.size() != 4 || !korvid::isValidUtf8(excerpt) || korvid::graphemeCount(excerpt) > 3000)
            std::abort();
        (void)record.dump();
    } catch (const korvid::DesktopError&) {
    }
    return 0;
}
