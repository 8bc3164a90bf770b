#include "excerpts/ChosenFile.h"
#include "excerpts/EventSource.h"
#include "excerpts/tests/Fixtures.h"
#include "base/DesktopError.h"
#include "base/Digest.h"
#include "base/Text.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef KORVID_EXCERPT_FIXTURES
#error "KORVID_EXCERPT_FIXTURES names the committed fixture folder"
#endif

namespace korvid {
namespace {

using namespace fixtures;

constexpr const char* kSizeRefused = "请选择 15 MiB 以内的活动资料。";
constexpr const char* kPdfLabel = "PDF 前六页文本层 · 最多 3000 字";

template <typename Call> std::string failure(Call call)
{
    try {
        call();
    } catch (const DesktopError& error) {
        return error.message;
    }
    return "(no error)";
}

std::string excerptFailure(std::string_view data, const std::string& name)
{
    return failure([&] { EventSource::excerpt(data, name); });
}

// --- kinds, labels and the record ---

TEST(EventSourceExcerpt, RecordHasExactlyTheFourKeys)
{
    Json record = EventSource::excerpt("你好，world\n", "notes.txt");
    ASSERT_EQ(record.size(), 4u);
    EXPECT_EQ(record["name"], "notes.txt");
    EXPECT_EQ(record["digest"], sha256Hex("你好，world\n"));
    EXPECT_EQ(record["excerpt"], "你好，world\n");
    EXPECT_EQ(record["method"], "本机文本");
}

TEST(EventSourceExcerpt, KindComesFromTheExtensionAloneIgnoringCase)
{
    EXPECT_EQ(EventSource::excerpt("# title", "notes.MD")["method"], "本机文本");
    EXPECT_EQ(EventSource::excerpt(pdf({ { "Hello" } }), "Report.PDF")["method"], kPdfLabel);
    EXPECT_EQ(EventSource::excerpt(docx(paragraph("x")), "a.b.DocX")["method"], "Word 正文 · 前 3000 字");
    for (const char* name :
        { "data.csv", "photo.heic", "README", "archive.tar.gz", "trailingdot.", "notes.txt.bak", "dir.txt/file" })
        EXPECT_EQ(excerptFailure("plain text", name), "文件格式不支持。") << name;
    // Content is never sniffed: a PDF named .txt is text, a text named .pdf is a bad PDF.
    EXPECT_EQ(excerptFailure("plain text", "fake.pdf"), "PDF 无法读取或已加密。");
    EXPECT_EQ(excerptFailure("plain text", "fake.docx"), "Office 文档无法读取，请检查文件或导出文字摘录。");
    EXPECT_EQ(excerptFailure("plain text", "fake.png"), "无法读取这张海报。");
}

TEST(EventSourceExcerpt, TextIsStrictUtf8KeptUnchanged)
{
    EXPECT_EQ(excerptFailure("abc\xFF", "a.txt"), "请选用 UTF-8 文本。");
    EXPECT_EQ(excerptFailure("\xED\xA0\x80", "a.txt"), "请选用 UTF-8 文本。"); // an encoded surrogate
    EXPECT_EQ(excerptFailure("\xC0\xAF", "a.txt"), "请选用 UTF-8 文本。");     // overlong
    std::string untouched = "\xEF\xBB\xBF  line one\r\nline two  \n\n";
    EXPECT_EQ(EventSource::excerpt(untouched, "a.txt")["excerpt"], untouched);
    EXPECT_EQ(EventSource::excerpt("", "empty.md")["excerpt"], "");
}

TEST(EventSourceExcerpt, CutAt3000UserPerceivedCharacters)
{
    const std::string thumbs = "\U0001F44D\U0001F3FD";       // thumbs up with a skin tone: one character
    const std::string family = "\U0001F469\u200D\U0001F4BB"; // woman technologist (ZWJ)
    std::string text;
    for (int i = 0; i < 2999; ++i)
        text += "中";
    std::string excerpt = EventSource::excerpt(text + thumbs + family + "tail", "a.md")["excerpt"];
    EXPECT_EQ(excerpt, text + thumbs);
    EXPECT_EQ(graphemeCount(excerpt), 3000u);

    std::string exact(2999, 'a');
    EXPECT_EQ(EventSource::excerpt(exact + "\r\n", "a.txt")["excerpt"], exact + "\r\n"); // CR LF is one character
}

TEST(EventSourceExcerpt, DigestCoversAllBytesWhateverTheName)
{
    std::string big(10000, 'q');
    Json first = EventSource::excerpt(big, "one.txt");
    Json second = EventSource::excerpt(big, "two.MD");
    EXPECT_EQ(first["digest"], second["digest"]);
    EXPECT_EQ(first["digest"], sha256Hex(big));
    EXPECT_EQ(first["excerpt"].get<std::string>().size(), 3000u);
}

TEST(EventSourceExcerpt, NamesThatAreNotUtf8StillMakeAValidRecord)
{
    Json record = EventSource::excerpt("x", "caf\xE9.txt");
    EXPECT_EQ(record["name"], "caf\uFFFD.txt");
    EXPECT_NO_THROW(record.dump());
}

TEST(EventSourceExcerpt, OfficeLabelsPassThrough)
{
    Json record = EventSource::excerpt(simpleXlsx("<row><c r=\"A1\"><v>1</v></c></row>"), "Book.XLSX");
    EXPECT_EQ(record["method"], "Excel 首个可见工作表 · Sheet1 · 每行前 128 个有值单元格，最多 3000 字");
    EXPECT_EQ(record["excerpt"], "A1 1\n");
}

TEST(EventSourceExcerpt, OfficeTextIsCutAndKeptValid)
{
    // A character reference to a lone surrogate is not UTF-8 once decoded.
    Json record = EventSource::excerpt(docx(paragraph("a&#xD800;b") + paragraph(std::string(4000, 'c'))), "x.docx");
    std::string excerpt = record["excerpt"];
    EXPECT_TRUE(isValidUtf8(excerpt));
    EXPECT_EQ(graphemeCount(excerpt), 3000u);
    EXPECT_NO_THROW(record.dump());
}

// --- PDF ---

TEST(EventSourcePdf, FirstSixPagesJoinedWithLineFeeds)
{
    std::vector<std::vector<std::string>> pages;
    for (int i = 1; i <= 10; ++i)
        pages.push_back({ "Page " + std::to_string(i) + " 第" + std::to_string(i) + "页" });
    Json record = EventSource::excerpt(pdf(pages), "ten.pdf");
    EXPECT_EQ(record["excerpt"], "Page 1 第1页\nPage 2 第2页\nPage 3 第3页\nPage 4 第4页\nPage 5 第5页\nPage 6 第6页");
    EXPECT_EQ(record["method"], kPdfLabel);
}

TEST(EventSourcePdf, PagesWithoutTextAddNothing)
{
    EXPECT_EQ(EventSource::excerpt(pdf({ {}, { "Only", "page two" }, {} }), "p.pdf")["excerpt"], "Only\npage two");
    Json scan = EventSource::excerpt(pdf({ {}, {} }), "scan.pdf");
    EXPECT_EQ(scan["excerpt"], "");
    EXPECT_EQ(scan["method"], kPdfLabel);
}

TEST(EventSourcePdf, EncryptedTruncatedAndGarbageAreRefused)
{
    std::string encrypted = readFile(std::filesystem::path(KORVID_EXCERPT_FIXTURES) / "encrypted-aes256.pdf");
    ASSERT_FALSE(encrypted.empty());
    EXPECT_EQ(excerptFailure(encrypted, "locked.pdf"), "PDF 无法读取或已加密。");
    EXPECT_EQ(excerptFailure("%PDF-1.4 nonsense", "bad.pdf"), "PDF 无法读取或已加密。");
    EXPECT_EQ(excerptFailure("", "empty.pdf"), "PDF 无法读取或已加密。");
}

TEST(EventSourcePdf, FileCutBeforeItsPageTreeIsRefusedNotAnEmptyExcerpt)
{
    // Written in this order, the page tree comes last.
    std::string head = "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
                       "3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 200 200]/Contents 4 0 R"
                       "/Resources<</Font<</F1 5 0 R>>>>>>endobj\n"
                       "4 0 obj<</Length 41>>stream\nBT /F1 12 Tf 20 100 Td (Hello PDF) Tj ET\nendstream endobj\n"
                       "5 0 obj<</Type/Font/Subtype/Type1/BaseFont/Helvetica>>endobj\n";
    std::string whole = head + "2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\ntrailer<</Root 1 0 R>>\n%%EOF\n";
    EXPECT_EQ(EventSource::excerpt(whole, "whole.pdf")["excerpt"], "Hello PDF");
    EXPECT_EQ(excerptFailure(head, "cut.pdf"), "PDF 无法读取或已加密。");
    EXPECT_EQ(excerptFailure(head + "trailer<</Root 1 0 R>>\n%%EOF\n", "cut.pdf"), "PDF 无法读取或已加密。");
    // A page tree with no pages is no document either.
    EXPECT_EQ(excerptFailure("%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
                             "2 0 obj<</Type/Pages/Kids[]/Count 0>>endobj\ntrailer<</Root 1 0 R>>\n%%EOF\n",
                  "none.pdf"),
        "PDF 无法读取或已加密。");
}

// --- inspection of files on disk ---

TEST(EventSourceInspect, SizeLimitsAt15MiB)
{
    ScratchFolder folder;
    std::string exact(EventSource::kMaxFileBytes, 'a');
    Json record = EventSource::inspect(folder.write("exact.txt", exact));
    EXPECT_EQ(record["name"], "exact.txt");
    EXPECT_EQ(record["digest"], sha256Hex(exact));
    EXPECT_EQ(record["excerpt"].get<std::string>(), std::string(3000, 'a'));

    exact.push_back('a');
    auto over = folder.write("over.txt", exact);
    EXPECT_EQ(failure([&] { EventSource::inspect(over); }), kSizeRefused);
    auto empty = folder.write("empty.txt", "");
    EXPECT_EQ(failure([&] { EventSource::inspect(empty); }), kSizeRefused);
    std::filesystem::create_directory(folder.path() / "folder.txt");
    EXPECT_EQ(failure([&] { EventSource::inspect(folder.path() / "folder.txt"); }), kSizeRefused);
    EXPECT_EQ(failure([&] { EventSource::inspect("/dev/null"); }), kSizeRefused);
}

TEST(EventSourceInspect, SizeIsCheckedBeforeTheKind)
{
    ScratchFolder folder;
    auto empty = folder.write("empty.csv", "");
    EXPECT_EQ(failure([&] { EventSource::inspect(empty); }), kSizeRefused);
    auto csv = folder.write("data.csv", "a,b\n");
    EXPECT_EQ(failure([&] { EventSource::inspect(csv); }), "文件格式不支持。");
}

TEST(EventSourceInspect, MissingAndUnreadableFilesGiveChineseSentences)
{
    ScratchFolder folder;
    std::string missing = failure([&] { EventSource::inspect(folder.path() / "nowhere.txt"); });
    EXPECT_EQ(missing, "找不到所选的文件，请重新选择。");
}

TEST(EventSourceInspect, SymbolicLinkToARegularFileIsRead)
{
    ScratchFolder folder;
    auto target = folder.write("real.md", "linked");
    std::filesystem::create_symlink(target, folder.path() / "link.md");
    Json record = EventSource::inspect(folder.path() / "link.md");
    EXPECT_EQ(record["name"], "link.md");
    EXPECT_EQ(record["excerpt"], "linked");
}

TEST(EventSourceInspect, FileThatChangedBetweenCheckAndRead)
{
    ScratchFolder folder;
    auto file = folder.write("poster.txt", "twelve bytes");
    std::uint64_t size = ChosenFile::checkedSize(file, EventSource::kMaxFileBytes);
    EXPECT_EQ(size, 12u);
    folder.write("poster.txt", "now thirteen!");
    EXPECT_EQ(failure([&] { ChosenFile::read(file, size); }), "文件已变化，请重新选择。");
    folder.write("poster.txt", "shorter");
    EXPECT_EQ(failure([&] { ChosenFile::read(file, size); }), "文件已变化，请重新选择。");
    folder.write("poster.txt", "");
    EXPECT_EQ(failure([&] { ChosenFile::read(file, size); }), "文件已变化，请重新选择。");
    folder.write("poster.txt", "twelve bytes");
    EXPECT_EQ(ChosenFile::read(file, size), "twelve bytes");
    std::filesystem::remove(file);
    EXPECT_EQ(failure([&] { ChosenFile::read(file, size); }), "找不到所选的文件，请重新选择。");
}

// Files under /proc report size 0 while they have content: refused by the
// size check rather than read.
TEST(EventSourceInspect, ZeroSizedSpecialFilesAreRefused)
{
    EXPECT_EQ(failure([] { EventSource::inspect("/proc/self/status"); }), kSizeRefused);
}

}
}
