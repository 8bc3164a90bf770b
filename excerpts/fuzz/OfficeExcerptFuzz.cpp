// Feeds arbitrary packages to the Word and Excel readers. Any DesktopError is
// an accepted answer; crashes, sanitizer reports, leaks and time-outs are not.
#include "excerpts/OfficeExcerpt.h"
#include "base/DesktopError.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    bool workbook = data[0] & 1;
    std::string_view package(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        korvid::OfficeExcerpt::read(package, workbook);
    } catch (const korvid::DesktopError&) {
    }
    return 0;
}
