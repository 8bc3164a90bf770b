#pragma once

#include <pugixml.hpp>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace korvid {

// A Word or Excel ZIP package held in memory, read one named entry at a time.
// Nothing is unpacked to disk; each entry is inflated in 64 KiB chunks and
// refused once it passes 4 MiB, so a highly compressed entry costs at most
// that much memory and time.
class OfficePackage {
public:
    static constexpr std::size_t kEntryLimit = 4194304;
    static constexpr std::size_t kChunkBytes = 65536;
    // Office parts nest a few dozen elements deep. Deeper documents are
    // refused: XPath descendant steps over nested matches cost
    // depth × nodes, which a hostile part could make quadratic.
    static constexpr std::size_t kDepthLimit = 256;

    // `data` must outlive the package. A buffer that is not a ZIP package is
    // refused here with the same sentence as a missing entry.
    explicit OfficePackage(std::string_view data);
    ~OfficePackage();
    OfficePackage(const OfficePackage&) = delete;
    OfficePackage& operator=(const OfficePackage&) = delete;

    // The bytes of the entry with exactly this name.
    std::string entry(const std::string& name);

    // The entry parsed as XML. Refuses text that is not UTF-8 or holds a NUL,
    // a document type declaration or an entity declaration, before parsing.
    std::unique_ptr<pugi::xml_document> part(const std::string& name);

    // The same checks and parse, on XML text already in memory.
    static std::unique_ptr<pugi::xml_document> parse(std::string_view xml);

private:
    struct Archive;
    std::unique_ptr<Archive> archive_;
};

}
