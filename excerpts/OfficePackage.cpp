#include "excerpts/OfficePackage.h"

#include "base/DesktopError.h"
#include "base/Text.h"

#include <algorithm>
#include <cstring>
#include <zip.h>

namespace korvid {

namespace {

constexpr const char* kUnreadable = "Office 文档无法读取，请检查文件或导出文字摘录。";
constexpr const char* kTooLarge = "Office 文档内容过大，请选择相关页面或工作表。";
constexpr const char* kMalformed = "Office 文档中的 XML 格式有误，无法读取。";

std::size_t depthOf(const pugi::xml_node& root)
{
    // Iterative: a hostile part may nest far deeper than the stack allows.
    std::size_t depth = 0, deepest = 0;
    pugi::xml_node node = root.first_child();
    if (node)
        depth = 1;
    while (node) {
        deepest = std::max(deepest, depth);
        if (node.first_child()) {
            node = node.first_child();
            ++depth;
            continue;
        }
        while (node && !node.next_sibling()) {
            node = node.parent();
            --depth;
            if (node == root)
                return deepest;
        }
        if (node)
            node = node.next_sibling();
    }
    return deepest;
}

}

struct OfficePackage::Archive {
    zip_t* zip = nullptr;
    ~Archive()
    {
        if (zip)
            zip_discard(zip);
    }
};

OfficePackage::OfficePackage(std::string_view data)
    : archive_(std::make_unique<Archive>())
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(data.data(), data.size(), 0, &error);
    if (!source) {
        zip_error_fini(&error);
        throw DesktopError(kUnreadable);
    }
    archive_->zip = zip_open_from_source(source, ZIP_RDONLY, &error);
    zip_error_fini(&error);
    if (!archive_->zip) {
        zip_source_free(source);
        throw DesktopError(kUnreadable);
    }
}

OfficePackage::~OfficePackage() = default;

std::string OfficePackage::entry(const std::string& name)
{
    zip_int64_t index = zip_name_locate(archive_->zip, name.c_str(), 0);
    if (index < 0)
        throw DesktopError(kUnreadable);
    zip_file_t* file = zip_fopen_index(archive_->zip, static_cast<zip_uint64_t>(index), 0);
    if (!file)
        throw DesktopError(kUnreadable);
    struct Closer {
        zip_file_t* file;
        ~Closer()
        {
            if (file)
                zip_fclose(file);
        }
    } closer { file };

    // Most parts are small: read them in pieces the size the package
    // declares (plus one, to meet the end in the same read) rather than in
    // whole chunks, each of which costs clearing. The declared size is only
    // a hint; what is read decides.
    std::size_t step = kChunkBytes;
    zip_stat_t declared;
    zip_stat_init(&declared);
    if (zip_stat_index(archive_->zip, static_cast<zip_uint64_t>(index), 0, &declared) == 0
        && (declared.valid & ZIP_STAT_SIZE) && declared.size < kChunkBytes)
        step = std::max<std::size_t>(static_cast<std::size_t>(declared.size) + 1, 1024);

    std::string buffer;
    for (;;) {
        std::size_t used = buffer.size();
        buffer.resize(used + step);
        zip_int64_t got = zip_fread(file, buffer.data() + used, step);
        if (got < 0)
            throw DesktopError(kUnreadable);
        buffer.resize(used + static_cast<std::size_t>(got));
        if (got == 0)
            break;
        if (buffer.size() > kEntryLimit)
            throw DesktopError(kTooLarge);
    }
    closer.file = nullptr;
    if (zip_fclose(file) != 0)
        throw DesktopError(kUnreadable);
    return buffer;
}

std::unique_ptr<pugi::xml_document> OfficePackage::part(const std::string& name)
{
    return parse(entry(name));
}

std::unique_ptr<pugi::xml_document> OfficePackage::parse(std::string_view xml)
{
    // Nothing that could declare entities reaches the parser, even harmless
    // declarations; pugixml would not expand them, but refusing is plainer.
    if (!isValidUtf8(xml) || std::memchr(xml.data(), '\0', xml.size())
        || xml.find("<!DOCTYPE") != std::string_view::npos || xml.find("<!ENTITY") != std::string_view::npos)
        throw DesktopError(kUnreadable);

    auto document = std::make_unique<pugi::xml_document>();
    // Whitespace-only text is kept only where it is an element's sole content,
    // so a run holding one space keeps it and indentation stays out.
    unsigned options = pugi::parse_default | pugi::parse_ws_pcdata_single;
    pugi::xml_parse_result result = document->load_buffer(xml.data(), xml.size(), options, pugi::encoding_utf8);
    if (!result)
        throw DesktopError(kMalformed);
    if (depthOf(*document) > kDepthLimit)
        throw DesktopError(kUnreadable);
    return document;
}

}
