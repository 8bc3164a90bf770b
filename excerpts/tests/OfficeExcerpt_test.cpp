#include "excerpts/OfficeExcerpt.h"
#include "excerpts/OfficePackage.h"
#include "excerpts/tests/Fixtures.h"
#include "base/DesktopError.h"
#include "base/Text.h"

#include <chrono>
#include <gtest/gtest.h>
#include <pugixml.hpp>

namespace korvid {
namespace {

using namespace fixtures;

constexpr const char* kUnreadable = "Office 文档无法读取，请检查文件或导出文字摘录。";
constexpr const char* kTooLarge = "Office 文档内容过大，请选择相关页面或工作表。";
constexpr const char* kSheetLabel = " · 每行前 128 个有值单元格，最多 3000 字";

std::string failure(std::string_view data, bool workbook)
{
    try {
        OfficeExcerpt::read(data, workbook);
    } catch (const DesktopError& error) {
        return error.message;
    }
    return "(no error)";
}

std::string workbookXml(const std::string& sheets)
{
    return "<x:workbook xmlns:x=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
           "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><x:sheets>"
        + sheets + "</x:sheets></x:workbook>";
}

std::string relationshipsXml(const std::string& relationships)
{
    return "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" + relationships
        + "</Relationships>";
}

std::string sheetXml(const std::string& rows)
{
    return "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><sheetData>" + rows
        + "</sheetData></worksheet>";
}

std::string inlineCell(const std::string& reference, const std::string& text)
{
    return "<c r=\"" + reference + "\" t=\"inlineStr\"><is><t>" + text + "</t></is></c>";
}

// --- Word ---

TEST(OfficeWord, ParagraphsIncludingTablesInDocumentOrder)
{
    std::string body = paragraph("第一段 first") + "<w:tbl><w:tr><w:tc>" + paragraph("单元格")
        + "</w:tc><w:tc><w:p/></w:tc></w:tr></w:tbl>"
        + "<w:p><w:r><w:t>Hello</w:t></w:r><w:r><w:t xml:space=\"preserve\"> </w:t></w:r><w:r><w:t>world</w:t></w:r>"
          "<w:r><w:delText>gone</w:delText></w:r></w:p>";
    auto result = OfficeExcerpt::read(docx(body), false);
    EXPECT_EQ(result.text, "第一段 first\n单元格\n\nHello world\n");
    EXPECT_EQ(result.label, "Word 正文 · 前 3000 字");
}

TEST(OfficeWord, IndentationBetweenElementsStaysOut)
{
    std::string body = "\n  <w:p>\n    <w:r>\n      <w:t>A</w:t>\n    </w:r>\n  </w:p>\n  <w:p/>\n";
    EXPECT_EQ(OfficeExcerpt::read(docx(body), false).text, "A\n\n");
}

TEST(OfficeWord, StopsAfterTheParagraphThatReaches3000Characters)
{
    std::string longText(3500, 'x');
    auto first = OfficeExcerpt::read(docx(paragraph(longText) + paragraph("second")), false);
    EXPECT_EQ(first.text, longText + "\n");

    // 2999 characters, then one more paragraph crosses the limit; the next is not read.
    std::string body = paragraph(std::string(2998, 'a')) + paragraph("中文") + paragraph("never");
    EXPECT_EQ(OfficeExcerpt::read(docx(body), false).text, std::string(2998, 'a') + "\n中文\n");
}

TEST(OfficeWord, EmptyBodyIsNoFailure)
{
    EXPECT_EQ(OfficeExcerpt::read(docx(""), false).text, "");
}

TEST(OfficeWord, NotAPackageOrMissingPartIsUnreadable)
{
    EXPECT_EQ(failure("plain text, not a zip", false), kUnreadable);
    EXPECT_EQ(failure("", false), kUnreadable);
    EXPECT_EQ(failure(zip({ { "word/other.xml", "<a/>" } }), false), kUnreadable);
    std::string package = docx(paragraph("text"));
    EXPECT_EQ(failure(package.substr(0, package.size() / 2), false), kUnreadable);
}

TEST(OfficeWord, DeclarationsNulAndBadUtf8AreRefusedBeforeParsing)
{
    auto withDocument = [](const std::string& xml) { return zip({ { "word/document.xml", xml } }); };
    EXPECT_EQ(failure(withDocument("<!DOCTYPE w:document><w:document/>"), false), kUnreadable);
    EXPECT_EQ(failure(withDocument("<w:document><!ENTITY x \"y\"></w:document>"), false), kUnreadable);
    EXPECT_EQ(failure(withDocument(std::string("<w:document>\0</w:document>", 26)), false), kUnreadable);
    EXPECT_EQ(failure(withDocument("<w:document>\xFF</w:document>"), false), kUnreadable);

    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">"
                         "<!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
                         "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">]>"
                         "<w:document><w:body><w:p><w:r><w:t>&lol3;</w:t></w:r></w:p></w:body></w:document>";
    EXPECT_EQ(failure(withDocument(laughs), false), kUnreadable);
}

TEST(OfficeWord, MalformedXmlBecomesAChineseSentence)
{
    std::string message = failure(zip({ { "word/document.xml", "<w:document><w:body>" } }), false);
    EXPECT_NE(message, "(no error)");
    EXPECT_EQ(message.find("error"), std::string::npos);
}

TEST(OfficeWord, DeeplyNestedXmlIsRefusedQuickly)
{
    std::string open, close;
    for (int i = 0; i < 200000; ++i) {
        open += "<body>";
        close += "</body>";
    }
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(failure(zip({ { "word/document.xml", "<d>" + open + "<p/>" + close + "</d>" } }), false), kUnreadable);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

// What the XPath expressions give for a small document: every paragraph below
// a body once, in document order, each with the string values of the "t"
// elements below it. The reader must give the same without the XPath cost.
std::string xpathParagraphs(const std::string& documentXml)
{
    pugi::xml_document document;
    EXPECT_TRUE(document.load_string(documentXml.c_str()));
    std::string text;
    pugi::xpath_query stringValue("string(.)");
    pugi::xpath_node_set paragraphs = document.select_nodes("//*[local-name()='body']//*[local-name()='p']");
    paragraphs.sort();
    for (const pugi::xpath_node& paragraph : paragraphs) {
        pugi::xpath_node_set runs = paragraph.node().select_nodes(".//*[local-name()='t']");
        runs.sort();
        for (const pugi::xpath_node& run : runs)
            text += stringValue.evaluate_string(run.node());
        text += "\n";
    }
    return text;
}

TEST(OfficeWord, NestedBodiesParagraphsAndRunsReadAsTheExpressionSelectsThem)
{
    const std::string ns = " xmlns:w=\"urn:w\" xmlns:v=\"urn:v\" xmlns:x=\"urn:x\"";
    const std::vector<std::string> documents {
        // A paragraph before any body and one after it are not body text.
        "<w:document" + ns
            + "><w:p><w:r><w:t>before</w:t></w:r></w:p><w:body><w:p><w:r><w:t>in</w:t></w:r></w:p>"
              "</w:body><w:p><w:r><w:t>after</w:t></w:r></w:p></w:document>",
        // Bodies inside bodies: each paragraph once, in document order.
        "<w:document" + ns
            + "><w:body><w:p><w:r><w:t>1</w:t></w:r></w:p><w:body><w:p><w:r><w:t>2</w:t></w:r></w:p>"
              "<w:body><w:p><w:t>3</w:t></w:p></w:body><w:p><w:t>4</w:t></w:p></w:body><w:p><w:t>5</w:t></w:p></"
              "w:body></w:document>",
        // A text box: a paragraph inside a paragraph; the outer one includes
        // the inner one's text, and the inner one follows it.
        "<w:document" + ns
            + "><w:body><w:p><w:r><w:t>outer </w:t></w:r><w:r><v:shape><w:txbxContent>"
              "<w:p><w:r><w:t>inner</w:t></w:r></w:p></w:txbxContent></v:shape></w:r><w:r><w:t> "
              "tail</w:t></w:r></w:p></w:body></w:document>",
        // Runs inside runs, text in CDATA and below other elements, empty runs,
        // other prefixes and none, a body below a paragraph.
        "<w:document" + ns
            + "><x:body><p><w:t>a<x:i>b</x:i><w:t>c<![CDATA[<d>]]></w:t></w:t><w:t/><w:t></w:t>"
              "<w:delText>gone</w:delText></p><w:p><w:body><w:p><t>deep</t></w:p></w:body></w:p></x:body>"
              "<w:body><x:y:p><w:t>two colons</w:t></x:y:p><x:y:p><w:t>y:p</w:t></x:y:p><w:p/></w:body></w:document>",
    };
    for (const std::string& xml : documents) {
        std::string expected = xpathParagraphs(xml);
        EXPECT_EQ(OfficeExcerpt::read(zip({ { "word/document.xml", xml } }), false).text, expected) << xml;
    }
}

TEST(OfficeWord, NestedBodiesCostLinearTime)
{
    // 250 bodies, one inside the other, holding 600,000 empty paragraphs: an
    // XPath descendant step per body made this minutes and gigabytes.
    std::string open, close;
    for (int i = 0; i < 250; ++i) {
        open += "<w:body>";
        close += "</w:body>";
    }
    std::string paragraphs;
    paragraphs.reserve(600000 * 6);
    for (int i = 0; i < 600000; ++i)
        paragraphs += "<w:p/>";
    std::string xml = "<w:document xmlns:w=\"urn:w\">" + open + paragraphs + close + "</w:document>";
    ASSERT_LT(xml.size(), OfficePackage::kEntryLimit);
    auto started = std::chrono::steady_clock::now();
    auto result = OfficeExcerpt::read(zip({ { "word/document.xml", xml } }), false);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(result.text, std::string(3000, '\n')); // stops at 3000 characters

    // 250 paragraphs nested in each other over 100,000 empty runs: each
    // paragraph's runs are all those below it.
    std::string nested, closing;
    for (int i = 0; i < 250; ++i) {
        nested += "<w:p>";
        closing += "</w:p>";
    }
    std::string runs;
    for (int i = 0; i < 100000; ++i)
        runs += "<w:t/>";
    xml = "<w:document xmlns:w=\"urn:w\"><w:body>" + nested + runs + "<w:t>x</w:t>" + closing
        + "</w:body></w:document>";
    started = std::chrono::steady_clock::now();
    result = OfficeExcerpt::read(zip({ { "word/document.xml", xml } }), false);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    std::string expected;
    for (int i = 0; i < 250; ++i)
        expected += "x\n";
    EXPECT_EQ(result.text, expected);
}

TEST(OfficeWord, ZipBombEntryIsRefusedByTheCap)
{
    // 64 MiB of one byte deflates to about 64 KiB; only the first 4 MiB and a
    // chunk are ever inflated.
    std::string huge = "<w:document><w:body><w:p><w:r><w:t>" + std::string(64 << 20, 'a')
        + "</w:t></w:r></w:p></w:body></w:document>";
    std::string package = zip({ { "word/document.xml", huge } });
    huge.clear();
    huge.shrink_to_fit();
    ASSERT_LT(package.size(), 1u << 20);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(failure(package, false), kTooLarge);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST(OfficeWord, EntryOfExactly4MiBIsRead)
{
    std::string prefix = "<w:document><w:body><w:p><w:r><w:t>", suffix = "</w:t></w:r></w:p></w:body></w:document>";
    std::string exact = prefix + std::string(4194304 - prefix.size() - suffix.size(), 'b') + suffix;
    auto result = OfficeExcerpt::read(zip({ { "word/document.xml", exact } }), false);
    EXPECT_EQ(result.text.size(), 4194304 - prefix.size() - suffix.size() + 1);
    EXPECT_EQ(failure(zip({ { "word/document.xml", exact + " " } }), false), kTooLarge);
}

// --- Excel ---

TEST(OfficeExcel, InlineSharedAndEmptyCellsMakeOneLine)
{
    std::string rows
        = "<row r=\"1\">" + inlineCell("A1", "Name") + "<c r=\"B1\"/><c r=\"C1\" t=\"s\"><v>0</v></c></row>";
    std::string shared
        = "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><si><t>Zhang</t></si></sst>";
    auto result = OfficeExcerpt::read(simpleXlsx(rows, shared), true);
    EXPECT_EQ(result.text, "A1 Name\u3000C1 Zhang\n");
    EXPECT_EQ(result.label, std::string("Excel 首个可见工作表 · Sheet1") + kSheetLabel);
}

TEST(OfficeExcel, RawValuesHiddenRowsAndRichTextRuns)
{
    std::string rows = "<row r=\"1\"><c r=\"A1\"><v>42.50</v></c><c r=\"B1\" t=\"b\"><v>1</v></c></row>"
                       "<row r=\"2\" hidden=\"1\"><c r=\"A2\"><v>secret</v></c></row>"
                       "<row r=\"3\"><c><v>no reference</v></c><c r=\"B3\" t=\"s\"><v>+0</v></c></row>";
    std::string shared = "<sst><si><r><t>富</t></r><r><t xml:space=\"preserve\"> text</t></r></si></sst>";
    EXPECT_EQ(OfficeExcerpt::read(simpleXlsx(rows, shared), true).text,
        "A1 42.50\u3000B1 1\n no reference\u3000B3 富 text\n");
}

TEST(OfficeExcel, FirstVisibleSheetIsChosen)
{
    Workbook book;
    book.workbookXml = workbookXml("<x:sheet name=\"隐藏\" state=\"hidden\" r:id=\"rId1\"/>"
                                   "<x:sheet name=\"深藏\" state=\"veryHidden\" r:id=\"rId2\"/>"
                                   "<x:sheet name=\"可见\" state=\"visible\" r:id=\"rId3\"/>"
                                   "<x:sheet name=\"Later\" r:id=\"rId1\"/>");
    book.relationshipsXml = relationshipsXml("<Relationship Id=\"rId1\" Target=\"worksheets/sheet1.xml\"/>"
                                             "<Relationship Id=\"rId3\" Target=\"worksheets/sheet3.xml\"/>");
    book.sheets = { { "worksheets/sheet1.xml", sheetXml("<row>" + inlineCell("A1", "hidden sheet") + "</row>") },
        { "worksheets/sheet3.xml", sheetXml("<row>" + inlineCell("A1", "visible sheet") + "</row>") } };
    auto result = OfficeExcerpt::read(xlsx(book), true);
    EXPECT_EQ(result.text, "A1 visible sheet\n");
    EXPECT_EQ(result.label, std::string("Excel 首个可见工作表 · 可见") + kSheetLabel);
}

TEST(OfficeExcel, RelationshipChoiceAndTargets)
{
    auto bookWith = [](const std::string& relationships) {
        Workbook book;
        book.workbookXml = workbookXml("<x:sheet name=\"S\" r:id=\"rId7\"/>");
        book.relationshipsXml = relationshipsXml(relationships);
        book.sheets = { { "worksheets/real.xml", sheetXml("<row>" + inlineCell("A1", "ok") + "</row>") } };
        return xlsx(book);
    };
    EXPECT_EQ(OfficeExcerpt::read(
                  bookWith("<Relationship Id=\"rId7\" TargetMode=\"External\" Target=\"http://x/worksheets/a.xml\"/>"
                           "<Relationship Target=\"worksheets/nothing.xml\"/>"
                           "<Relationship Id=\"rId7\" TargetMode=\"Internal\" Target=\"worksheets/real.xml\"/>"),
                  true)
                  .text,
        "A1 ok\n");
    EXPECT_EQ(
        OfficeExcerpt::read(bookWith("<Relationship Id=\"rId7\" Target=\"/xl/worksheets/real.xml\"/>"), true).text,
        "A1 ok\n");

    EXPECT_EQ(
        failure(bookWith("<Relationship Id=\"rId7\" TargetMode=\"External\" Target=\"worksheets/real.xml\"/>"), true),
        "Excel 的工作表位置无法识别。");
    EXPECT_EQ(failure(bookWith("<Relationship Id=\"rid7\" Target=\"worksheets/real.xml\"/>"), true),
        "Excel 的工作表位置无法识别。");
    EXPECT_EQ(failure(bookWith("<Relationship Id=\"rId7\"/>"), true), "Excel 的工作表位置无法识别。");
    for (const char* target :
        { "../worksheets/a.xml", "worksheets/sub/a.xml", "worksheets/a b.xml", "../../etc/passwd", "worksheets/.xml",
            "worksheets/a.xml.bak", "xl/worksheets/real.xml", "/xl/../etc/passwd", "worksheets/a*.xml" }) {
        EXPECT_EQ(failure(bookWith("<Relationship Id=\"rId7\" Target=\"" + std::string(target) + "\"/>"), true),
            "Excel 工作表格式不受支持。")
            << target;
    }
    // A megabyte-long target is refused by the pattern, not by exhausting the stack.
    EXPECT_EQ(
        failure(
            bookWith("<Relationship Id=\"rId7\" Target=\"worksheets/" + std::string(1 << 20, 'a') + ".xm\"/>"), true),
        "Excel 工作表格式不受支持。");
}

TEST(OfficeExcel, SheetWithoutUsableId)
{
    Workbook book;
    book.relationshipsXml = relationshipsXml("");
    book.workbookXml = workbookXml("<x:sheet name=\"S\" state=\"hidden\" r:id=\"rId1\"/>");
    EXPECT_EQ(failure(xlsx(book), true), "Excel 没有可读取的工作表。");
    book.workbookXml = workbookXml("<x:sheet name=\"S\" xmlns:id=\"urn:x\" sheetId=\"1\"/>");
    EXPECT_EQ(failure(xlsx(book), true), "Excel 没有可读取的工作表。");
    book.workbookXml = workbookXml("<x:sheet name=\"S\" id=\"rId1\"/>");
    EXPECT_EQ(failure(xlsx(book), true), "Excel 的工作表位置无法识别。");
}

TEST(OfficeExcel, SharedStringIndexErrors)
{
    std::string seven = "<sst>";
    for (int i = 0; i < 7; ++i)
        seven += "<si><t>s" + std::to_string(i) + "</t></si>";
    seven += "</sst>";
    auto cell = [&](const std::string& value) {
        return simpleXlsx("<row><c r=\"A1\" t=\"s\"><v>" + value + "</v></c></row>", seven);
    };
    EXPECT_EQ(OfficeExcerpt::read(cell("6"), true).text, "A1 s6\n");
    EXPECT_EQ(OfficeExcerpt::read(cell("-0"), true).text, "A1 s0\n");
    for (const char* bad : { "7", "-1", "abc", "1.0", " 1", "", "--1", "+-1", "99999999999999999999999" })
        EXPECT_EQ(failure(cell(bad), true), "Excel 的文字索引失效。") << bad;

    // Without a table, only a shared-string cell needs it.
    EXPECT_EQ(OfficeExcerpt::read(simpleXlsx("<row><c r=\"A1\"><v>1</v></c></row>"), true).text, "A1 1\n");
    EXPECT_EQ(
        failure(simpleXlsx("<row><c r=\"A1\"><v>1</v></c><c r=\"B1\" t=\"s\"><v>0</v></c></row>"), true), kUnreadable);
}

TEST(OfficeExcel, RowOf200CellsContributesFirst128)
{
    std::string row = "<row>";
    for (int i = 0; i < 200; ++i)
        row += "<c r=\"C" + std::to_string(i) + "\"><v>" + std::to_string(i) + "</v></c>";
    row += "</row>";
    std::string text = OfficeExcerpt::read(simpleXlsx(row), true).text;
    EXPECT_NE(text.find("C127 127\n"), std::string::npos);
    EXPECT_EQ(text.find("C128"), std::string::npos);
}

TEST(OfficeExcel, CellCutTo3000AndStopAfterTheRowReachingTheLimit)
{
    std::string rows
        = "<row>" + inlineCell("A1", std::string(5000, 'z')) + "</row><row>" + inlineCell("A2", "never") + "</row>";
    std::string text = OfficeExcerpt::read(simpleXlsx(rows), true).text;
    EXPECT_EQ(text, "A1 " + std::string(3000, 'z') + "\n");
}

TEST(OfficeExcel, NestedItemsAndRunsReadAsTheExpressionsSelectThem)
{
    // "//si" in document order, outer items before the ones inside them; an
    // item's text is the string values of the "t" elements below it, a "t"
    // inside a "t" counted in both.
    std::string shared = "<sst><si><t>a</t><si><t>b</t></si></si><si><r><t>c<t>d</t></t></r></si></sst>";
    std::string row
        = "<row><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c><c r=\"C1\" t=\"s\"><v>2</v></c>"
          "<c r=\"D1\" t=\"inlineStr\"><is><t>e<t>f</t></t></is></c></row>";
    EXPECT_EQ(OfficeExcerpt::read(simpleXlsx(row, shared), true).text,
        "A1 ab\xE3\x80\x80"
        "B1 b\xE3\x80\x80"
        "C1 cdd\xE3\x80\x80"
        "D1 eff\n");
}

TEST(OfficeExcel, NestedItemsAndCellsCostLinearTime)
{
    // 250 shared-string items nested in each other over 100,000 empty runs.
    std::string open, close, runs;
    for (int i = 0; i < 250; ++i) {
        open += "<si>";
        close += "</si>";
    }
    for (int i = 0; i < 100000; ++i)
        runs += "<t/>";
    std::string shared = "<sst>" + open + runs + "<t>x</t>" + close + "</sst>";
    auto started = std::chrono::steady_clock::now();
    auto result = OfficeExcerpt::read(simpleXlsx("<row><c r=\"A1\" t=\"s\"><v>249</v></c></row>", shared), true);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(result.text, "A1 x\n");

    // Inline cells whose text holds a sheet again, 45 levels deep, over the
    // same runs: every level's cell covers all of them.
    std::string cells, closing;
    for (int i = 0; i < 45; ++i) {
        cells += "<row><c r=\"A" + std::to_string(i + 1) + "\" t=\"inlineStr\"><is><sheetData>";
        closing += "</sheetData></is></c></row>";
    }
    started = std::chrono::steady_clock::now();
    result = OfficeExcerpt::read(simpleXlsx(cells + runs + "<t>y</t>" + closing), true);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    // The sheets inside cells are sheets too: each level gives its row.
    std::string expected;
    for (int i = 0; i < 45; ++i)
        expected += "A" + std::to_string(i + 1) + " y\n";
    EXPECT_EQ(result.text, expected);
}

TEST(OfficeExcel, MissingParts)
{
    EXPECT_EQ(failure(zip({ { "xl/other.xml", "<a/>" } }), true), kUnreadable);
    Workbook book;
    book.workbookXml = workbookXml("<x:sheet name=\"S\" r:id=\"rId1\"/>");
    EXPECT_EQ(failure(xlsx(book), true), kUnreadable);
    book.relationshipsXml = relationshipsXml("<Relationship Id=\"rId1\" Target=\"worksheets/missing.xml\"/>");
    EXPECT_EQ(failure(xlsx(book), true), kUnreadable);
}

}
}
