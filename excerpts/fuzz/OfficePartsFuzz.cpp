// Feeds the Word and Excel readers XML parts that the fuzzer mutates as text,
// packed into a valid package on every run. Mutating whole deflated packages
// (OfficeExcerptFuzz) mostly breaks the compression or the checksums, so the
// XML readers behind them would only ever see the seeds.
//
// Input: one byte (odd: a workbook), then the parts in the order of the lists
// below, separated by NUL bytes. An empty part is left out of the package;
// parts past the end of the list are ignored. Any DesktopError is an
// accepted answer; crashes, sanitizer reports, leaks and time-outs are not.
#include "excerpts/OfficeExcerpt.h"
#include "base/DesktopError.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>
#include <zip.h>

namespace {

constexpr std::array<const char*, 1> kWordParts { "word/document.xml" };
constexpr std::array<const char*, 5> kWorkbookParts { "xl/workbook.xml", "xl/_rels/workbook.xml.rels",
    "xl/sharedStrings.xml", "xl/worksheets/sheet1.xml", "xl/worksheets/sheet2.xml" };

std::vector<std::string_view> split(std::string_view text)
{
    std::vector<std::string_view> parts;
    for (;;) {
        auto end = text.find('\0');
        parts.push_back(text.substr(0, end));
        if (end == std::string_view::npos)
            return parts;
        text.remove_prefix(end + 1);
    }
}

// A ZIP package of the named entries, stored without compression: the reader
// inflates or copies either way, and storing keeps each run cheap.
std::string package(const std::vector<std::pair<const char*, std::string_view>>& entries)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_t* archive = buffer ? zip_open_from_source(buffer, ZIP_TRUNCATE, &error) : nullptr;
    if (!archive)
        std::abort();
    zip_source_keep(buffer);
    for (const auto& [name, content] : entries) {
        // libzip reads the data when the archive closes; it frees this copy.
        void* copy = std::malloc(content.size() ? content.size() : 1);
        if (!copy)
            std::abort();
        std::memcpy(copy, content.data(), content.size());
        zip_source_t* source = zip_source_buffer(archive, copy, content.size(), 1);
        zip_int64_t index = source ? zip_file_add(archive, name, source, ZIP_FL_ENC_UTF_8) : -1;
        if (index < 0 || zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0) != 0)
            std::abort();
    }
    if (zip_close(archive) != 0)
        std::abort();
    std::string bytes;
    if (zip_source_open(buffer) == 0) {
        zip_source_seek(buffer, 0, SEEK_END);
        zip_int64_t size = zip_source_tell(buffer);
        zip_source_seek(buffer, 0, SEEK_SET);
        bytes.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
        if (zip_source_read(buffer, bytes.data(), bytes.size()) != static_cast<zip_int64_t>(bytes.size()))
            std::abort();
        zip_source_close(buffer);
    }
    zip_source_free(buffer);
    zip_error_fini(&error);
    return bytes;
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    bool workbook = data[0] & 1;
    std::vector<std::string_view> parts = split(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
    const char* const* names = workbook ? kWorkbookParts.data() : kWordParts.data();
    std::size_t count = workbook ? kWorkbookParts.size() : kWordParts.size();
    std::vector<std::pair<const char*, std::string_view>> entries;
    for (std::size_t i = 0; i < count && i < parts.size(); ++i) {
        if (!parts[i].empty())
            entries.emplace_back(names[i], parts[i]);
    }
    std::string bytes = package(entries);
    try {
        korvid::OfficeExcerpt::read(bytes, workbook);
    } catch (const korvid::DesktopError&) {
    }
    return 0;
}
