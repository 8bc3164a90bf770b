#include "excerpts/EventSource.h"

#include "excerpts/ChosenFile.h"
#include "excerpts/MediaReaders.h"
#include "excerpts/OfficeExcerpt.h"
#include "base/DesktopError.h"
#include "base/Digest.h"
#include "base/ReadableKinds.h"
#include "base/Text.h"

namespace korvid::EventSource {

namespace {

constexpr const char* kUnsupported = "文件格式不支持。";
constexpr const char* kNotUtf8 = "请选用 UTF-8 文本。";

struct Reading {
    std::string text;
    std::string label;
};

// The part after the last "." of the last path component, lower-cased.
std::string extensionOf(std::string_view name)
{
    while (!name.empty() && name.back() == '/')
        name.remove_suffix(1);
    if (auto slash = name.rfind('/'); slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos)
        return {};
    std::string extension(name.substr(dot + 1));
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return extension;
}

Reading readText(std::string_view data)
{
    if (!isValidUtf8(data))
        throw DesktopError(kNotUtf8);
    // Only the excerpt is kept, so the cut happens here rather than after a
    // copy of up to 15 MiB.
    return { graphemePrefix(data, kExcerptCharacters), "本机文本" };
}

Reading readPdf(std::string_view data)
{
    return { MediaReaders::pdfText(data), "PDF 前六页文本层 · 最多 3000 字" };
}

Reading readImage(std::string_view data)
{
    return { MediaReaders::imageText(data), "本机图片文字识别 · 最多 3000 字" };
}

Reading readOffice(std::string_view data, bool workbook)
{
    OfficeExcerpt::Excerpt office = MediaReaders::officeExcerpt(data, workbook);
    return { std::move(office.text), std::move(office.label) };
}

Reading readByKind(std::string_view data, const std::string& extension)
{
    const ReadableKind* kind = readableKind(extension);
    if (!kind || !kind->inspected)
        throw DesktopError(kUnsupported);
    switch (kind->reader) {
    case KindReader::text:
        return readText(data);
    case KindReader::pdf:
        return readPdf(data);
    case KindReader::image:
        return readImage(data);
    case KindReader::word:
        return readOffice(data, false);
    case KindReader::workbook:
        return readOffice(data, true);
    }
    throw DesktopError(kUnsupported);
}

std::string lastComponent(const std::filesystem::path& path)
{
    std::string text = path.string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    auto slash = text.rfind('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

}

Json inspect(const std::filesystem::path& path)
{
    std::uint64_t size = ChosenFile::checkedSize(path, kMaxFileBytes);
    return excerpt(ChosenFile::read(path, size), lastComponent(path));
}

Json excerpt(std::string_view data, const std::string& name)
{
    Reading reading = readByKind(data, extensionOf(name));
    Json record = Json::object();
    // A name or text that is not valid UTF-8 cannot travel in JSON; broken
    // bytes become U+FFFD rather than failing the whole reply.
    record["name"] = repairUtf8(name);
    record["digest"] = sha256Hex(data);
    record["excerpt"] = repairUtf8(graphemePrefix(reading.text, kExcerptCharacters));
    record["method"] = std::move(reading.label);
    return record;
}

}
