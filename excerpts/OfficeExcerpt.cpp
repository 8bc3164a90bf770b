#include "excerpts/OfficeExcerpt.h"

#include "excerpts/ExcerptText.h"
#include "excerpts/OfficePackage.h"
#include "base/DesktopError.h"
#include "base/Limits.h"
#include "base/Text.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <algorithm>
#include <vector>

namespace korvid::OfficeExcerpt {

namespace {

constexpr std::size_t kCellsPerRow = 128;
constexpr const char* kIdeographicSpace = "\xE3\x80\x80";

constexpr const char* kVisibleSheets = "//*[local-name()='sheet' and (not(@state) or @state='visible')]";
constexpr const char* kRelationships = "//*[local-name()='Relationship']";
constexpr const char* kVisibleRows = "//*[local-name()='sheetData']/*[local-name()='row' and not(@hidden='1')]";
constexpr const char* kCells = "./*[local-name()='c']";
constexpr const char* kCellValue = "./*[local-name()='v']";

constexpr const char* kNoSheet = "Excel 没有可读取的工作表。";
constexpr const char* kNoLocation = "Excel 的工作表位置无法识别。";
constexpr const char* kUnsupportedSheet = "Excel 工作表格式不受支持。";
constexpr const char* kBadIndex = "Excel 的文字索引失效。";
constexpr const char* kXPathFailed = "Office 文档的结构无法解析。";

// The XPath engine reports failures (out of memory, mostly) by exception;
// they reach the user as one sentence.
pugi::xpath_node_set select(const pugi::xml_node& node, const char* expression)
{
    try {
        pugi::xpath_node_set found = node.select_nodes(expression);
        found.sort();
        return found;
    } catch (const pugi::xpath_exception&) {
        throw DesktopError(kXPathFailed);
    }
}

// XPath string value: all text below the node, in document order.
std::string stringValue(const pugi::xml_node& node)
{
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata)
        return node.value();
    std::string value;
    pugi::xml_node at = node.first_child();
    while (at) {
        if (at.type() == pugi::node_pcdata || at.type() == pugi::node_cdata)
            value += at.value();
        if (at.first_child()) {
            at = at.first_child();
            continue;
        }
        while (at && at != node && !at.next_sibling())
            at = at.parent();
        if (!at || at == node)
            break;
        at = at.next_sibling();
    }
    return value;
}

// "first paragraph", "row": each ends with a line feed, so the running count
// of characters is the sum of the pieces' counts.
class Collector {
public:
    void append(std::string piece)
    {
        characters_ += ExcerptText::characterCount(piece);
        text_ += piece;
    }
    bool full() const { return characters_ >= kExcerptCharacters; }
    std::string take() { return std::move(text_); }

private:
    std::string text_;
    std::size_t characters_ = 0;
};

// XPath's local-name(): what follows the first colon.
std::string_view elementLocalName(const pugi::xml_node& node)
{
    std::string_view name = node.name();
    auto colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

// The texts of the elements an expression like "//body//p" or "//si" selects
// (every element with the item's local name, below a container when one is
// named, each once, in document order), each the string values of the "t"
// elements below it, as ".//t" gives them, found in one walk of the part.
// An XPath engine evaluates a descendant step once per container and once
// per item, so nested containers or items made the work quadratic; here each
// node is visited once, and an item's text is assembled from the text nodes
// its "t" elements cover.
class ItemTexts {
public:
    ItemTexts(const pugi::xml_node& root, const char* container, std::string_view item)
        : container_(container)
        , item_(item)
    {
        walk(root);
    }

    std::size_t size() const { return items_.size(); }

    // The index of this element among the items, if it is one.
    std::optional<std::size_t> indexOf(const pugi::xml_node& node) const
    {
        auto found = indexes_.find(node.internal_object());
        if (found == indexes_.end())
            return std::nullopt;
        return found->second;
    }

    // The item's text, cut once it is longer than `byteLimit` bytes or has
    // more than `characterLimit` characters (the text then has at least that
    // many more than the limit, so a prefix of `characterLimit` characters
    // is the same as the whole text's).
    std::string text(std::size_t index, std::size_t byteLimit, std::size_t characterLimit = SIZE_MAX) const
    {
        std::string text;
        std::size_t nextCount = characterLimit == SIZE_MAX ? SIZE_MAX : characterLimit + 64;
        const Range& item = items_[index];
        for (std::size_t run = nextWithText(item.begin); run < item.end; run = nextWithText(run + 1)) {
            for (std::size_t piece = runs_[run].begin; piece < runs_[run].end; ++piece) {
                text += texts_[piece];
                if (text.size() >= byteLimit)
                    return text;
                // Counting costs the text's length; at doubling sizes it
                // stays linear.
                if (text.size() >= nextCount) {
                    if (ExcerptText::characterCount(text) > characterLimit)
                        return text;
                    nextCount = text.size() * 2;
                }
            }
        }
        return text;
    }

private:
    struct Range {
        std::size_t begin = 0;
        std::size_t end = 0;
    };

    void walk(const pugi::xml_node& root)
    {
        struct Open {
            pugi::xml_node node;
            bool container = false;
            std::size_t item = SIZE_MAX;
            std::size_t run = SIZE_MAX;
        };
        std::vector<Open> open;
        std::size_t containers = 0, itemsOpen = 0, runsOpen = 0;
        auto enter = [&](const pugi::xml_node& node) {
            Open entry { node };
            if (node.type() == pugi::node_element) {
                std::string_view name = elementLocalName(node);
                if (name == item_ && (!container_ || containers > 0)) {
                    entry.item = items_.size();
                    indexes_.emplace(node.internal_object(), items_.size());
                    items_.push_back({ runs_.size(), runs_.size() });
                    ++itemsOpen;
                }
                if (name == "t" && itemsOpen > 0) {
                    entry.run = runs_.size();
                    runs_.push_back({ texts_.size(), texts_.size() });
                    ++runsOpen;
                }
                if (container_ && name == container_) {
                    entry.container = true;
                    ++containers;
                }
            } else if ((node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) && runsOpen > 0
                && *node.value()) {
                texts_.push_back(node.value());
            }
            open.push_back(entry);
        };
        auto leave = [&] {
            const Open& entry = open.back();
            if (entry.container)
                --containers;
            if (entry.item != SIZE_MAX) {
                items_[entry.item].end = runs_.size();
                --itemsOpen;
            }
            if (entry.run != SIZE_MAX) {
                runs_[entry.run].end = texts_.size();
                --runsOpen;
            }
            open.pop_back();
        };

        for (pugi::xml_node child = root.first_child(); child; child = child.next_sibling()) {
            enter(child);
            while (!open.empty()) {
                pugi::xml_node node = open.back().node;
                if (pugi::xml_node first = node.first_child()) {
                    enter(first);
                    continue;
                }
                // Leave finished nodes until one has a next sibling.
                while (!open.empty()) {
                    pugi::xml_node finished = open.back().node;
                    leave();
                    if (open.empty())
                        break;
                    if (pugi::xml_node next = finished.next_sibling()) {
                        enter(next);
                        break;
                    }
                }
            }
        }

        // Empty runs are skipped in one step, so that an item costs what its
        // text costs, however many empty runs lie below it.
        nextWithText_.resize(runs_.size() + 1, runs_.size());
        for (std::size_t run = runs_.size(); run-- > 0;)
            nextWithText_[run] = runs_[run].begin < runs_[run].end ? run : nextWithText_[run + 1];
    }

    std::size_t nextWithText(std::size_t run) const { return nextWithText_[std::min(run, runs_.size())]; }

    const char* container_;
    std::string_view item_;
    std::vector<std::string_view> texts_;
    std::vector<Range> runs_;  // ranges of texts_, in document order
    std::vector<Range> items_; // ranges of runs_, in document order
    std::vector<std::size_t> nextWithText_;
    std::unordered_map<const void*, std::size_t> indexes_;
};

// An item's text never needs to be longer than a part may be: only nested
// "t" elements, which no office program writes, could make it so.
constexpr std::size_t kItemBytes = OfficePackage::kEntryLimit;

Excerpt readDocument(OfficePackage& package)
{
    auto document = package.part("word/document.xml");
    ItemTexts paragraphs(*document, "body", "p");
    Collector collector;
    for (std::size_t index = 0; index < paragraphs.size(); ++index) {
        collector.append(paragraphs.text(index, kItemBytes) + "\n");
        if (collector.full())
            break;
    }
    return { collector.take(), "Word 正文 · 前 3000 字" };
}

std::string_view localName(std::string_view qualified)
{
    auto colon = qualified.rfind(':');
    return colon == std::string_view::npos ? qualified : qualified.substr(colon + 1);
}

bool isNamespaceDeclaration(std::string_view name)
{
    return name == "xmlns" || name.starts_with("xmlns:");
}

std::optional<std::string> attributeValue(const pugi::xml_node& node, const char* name)
{
    pugi::xml_attribute attribute = node.attribute(name);
    if (!attribute)
        return std::nullopt;
    return std::string(attribute.value());
}

// ^worksheets/[A-Za-z0-9_-]+[.]xml$ as a whole: only plain worksheet names go
// on to the package, no parent steps, sub-folders or other folders. Matched
// by hand because std::regex recurses per character and a hostile target can
// be megabytes long.
bool isWorksheetPath(std::string_view path)
{
    constexpr std::string_view folder = "worksheets/", suffix = ".xml";
    if (!path.starts_with(folder) || !path.ends_with(suffix) || path.size() <= folder.size() + suffix.size())
        return false;
    std::string_view stem = path.substr(folder.size(), path.size() - folder.size() - suffix.size());
    return std::all_of(stem.begin(), stem.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

// The worksheet part a relationship id leads to, relative to "xl/".
std::string worksheetTarget(OfficePackage& package, const std::string& relationshipId)
{
    auto relationships = package.part("xl/_rels/workbook.xml.rels");
    std::optional<std::string> target;
    bool found = false;
    for (const pugi::xpath_node& match : select(*relationships, kRelationships)) {
        pugi::xml_node relationship = match.node();
        if (!relationship || relationship.type() != pugi::node_element)
            continue;
        auto id = attributeValue(relationship, "Id");
        if (!id || *id != relationshipId)
            continue;
        auto mode = attributeValue(relationship, "TargetMode");
        if (mode && *mode == "External")
            continue;
        target = attributeValue(relationship, "Target");
        found = true;
        break;
    }
    if (!found || !target)
        throw DesktopError(kNoLocation);

    std::string path = *target;
    if (path.starts_with("/xl/"))
        path.erase(0, 4);
    if (!isWorksheetPath(path))
        throw DesktopError(kUnsupportedSheet);
    return path;
}

// A decimal index: an optional sign, then digits only.
std::optional<long long> parseIndex(const std::string& text)
{
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty())
        return std::nullopt;
    unsigned long long value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() || value > (1ULL << 62))
        return std::nullopt;
    auto magnitude = static_cast<long long>(value);
    return negative ? -magnitude : magnitude;
}

class SharedStrings {
public:
    explicit SharedStrings(OfficePackage& package)
        : package_(package)
    {
    }

    // Only the items cells refer to are assembled, each once, and only as
    // far as a cell's value can use.
    const std::string& at(const std::string& index)
    {
        if (!table_) {
            table_ = package_.part("xl/sharedStrings.xml");
            items_.emplace(*table_, nullptr, "si");
            texts_.resize(items_->size());
        }
        auto position = parseIndex(index);
        if (!position || *position < 0 || static_cast<unsigned long long>(*position) >= texts_.size())
            throw DesktopError(kBadIndex);
        auto& text = texts_[static_cast<std::size_t>(*position)];
        if (!text)
            text = items_->text(static_cast<std::size_t>(*position), kItemBytes, kExcerptCharacters);
        return *text;
    }

private:
    OfficePackage& package_;
    std::unique_ptr<pugi::xml_document> table_;
    std::optional<ItemTexts> items_;
    std::vector<std::optional<std::string>> texts_;
};

std::string rowText(const pugi::xml_node& row, const ItemTexts& cells, SharedStrings& shared)
{
    std::vector<std::string> collected;
    for (const pugi::xpath_node& match : select(row, kCells)) {
        if (collected.size() >= kCellsPerRow)
            break;
        pugi::xml_node cell = match.node();
        if (!cell)
            continue;
        auto type = attributeValue(cell, "t");
        std::string value;
        pugi::xpath_node_set values = select(cell, kCellValue);
        if (!values.empty())
            value = stringValue(values.first().node());
        if (type == "inlineStr") {
            auto index = cells.indexOf(cell);
            value = index ? cells.text(*index, kItemBytes, kExcerptCharacters) : std::string();
        } else if (type == "s") {
            value = shared.at(value);
        }
        if (value.empty())
            continue;
        collected.push_back(attributeValue(cell, "r").value_or("") + " " + graphemePrefix(value, kExcerptCharacters));
    }
    if (collected.empty())
        return {};
    std::string line = collected.front();
    for (std::size_t i = 1; i < collected.size(); ++i)
        line += kIdeographicSpace + collected[i];
    return line + "\n";
}

Excerpt readWorkbook(OfficePackage& package)
{
    auto workbook = package.part("xl/workbook.xml");
    pugi::xpath_node_set sheets = select(*workbook, kVisibleSheets);
    if (sheets.empty() || !sheets.first().node() || sheets.first().node().type() != pugi::node_element)
        throw DesktopError(kNoSheet);
    pugi::xml_node sheet = sheets.first().node();

    std::optional<std::string> relationshipId;
    for (pugi::xml_attribute attribute : sheet.attributes()) {
        std::string_view name = attribute.name();
        if (!isNamespaceDeclaration(name) && localName(name) == "id") {
            relationshipId = attribute.value();
            break;
        }
    }
    if (!relationshipId)
        throw DesktopError(kNoSheet);

    std::string target = worksheetTarget(package, *relationshipId);
    auto worksheet = package.part("xl/" + target);

    SharedStrings shared(package);
    ItemTexts cells(*worksheet, nullptr, "c");
    Collector collector;
    for (const pugi::xpath_node& row : select(*worksheet, kVisibleRows)) {
        std::string line = rowText(row.node(), cells, shared);
        if (!line.empty())
            collector.append(std::move(line));
        if (collector.full())
            break;
    }
    std::string label = "Excel 首个可见工作表 · " + attributeValue(sheet, "name").value_or("")
        + " · 每行前 128 个有值单元格，最多 3000 字";
    return { collector.take(), std::move(label) };
}

}

Excerpt read(std::string_view data, bool workbook)
{
    OfficePackage package(data);
    return workbook ? readWorkbook(package) : readDocument(package);
}

}
