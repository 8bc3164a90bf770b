#include "tasks/TaskWorkspace.h"

#include "base/Digest.h"
#include "tasks/Bookmark.h"
#include "tasks/tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace korvid {
namespace {

using Attachment = TaskWorkspace::Attachment;
using testing::errorOf;
using testing::TempFolder;
using testing::writeFile;

const std::string kNotText = "需要 UTF-8 文本且大小不超过 15 MiB";
const std::string kNotRegular = "需要 15 MiB 以内的普通文件";
const std::string kTooLong = "文件或本次附件摘录超过大小限制，请选择相关摘录。";
const std::string kOverBudget = "本次附件摘录合计限 32 KiB，请精简资料。";

class AttachmentTest : public ::testing::Test {
protected:
    std::filesystem::path file(const std::string& name, std::string_view content)
    {
        auto path = temp / name;
        writeFile(path, content);
        return path;
    }
    TempFolder temp;
};

TEST_F(AttachmentTest, KindsAreDecidedByTheLowerCasedExtension)
{
    Attachment csv = Attachment::inspect(file("notes.CSV", "a,b\n1,2\n"));
    EXPECT_EQ(csv.name, "notes.CSV");
    EXPECT_EQ(csv.digest, sha256Hex("a,b\n1,2\n"));
    EXPECT_FALSE(csv.excerpt);
    EXPECT_FALSE(csv.method);

    const std::string refused = "请选择文本、PDF、Word、Excel 或图片。";
    EXPECT_EQ(errorOf([&] { Attachment::inspect(file("data.json", "{}")); }), refused);
    EXPECT_EQ(errorOf([&] { Attachment::inspect(file("README", "text")); }), refused);
    EXPECT_EQ(errorOf([&] { Attachment::inspect(file(".txt", "text")); }), refused);
    EXPECT_EQ(errorOf([&] { Attachment::inspect(temp / "missing.json"); }), refused) << "extension first";
}

TEST_F(AttachmentTest, TextMustBeCleanUtf8AndEmptyIsFine)
{
    Attachment empty = Attachment::inspect(file("notes.txt", ""));
    EXPECT_EQ(empty.digest, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_FALSE(empty.excerpt);
    EXPECT_EQ(empty.executionText(0), "");

    EXPECT_EQ(errorOf([&] { Attachment::inspect(file("zero.txt", std::string(1, '\0'))); }), kNotText);
    EXPECT_EQ(errorOf([&] { Attachment::inspect(file("ff.md", "\xFF")); }), kNotText);
    EXPECT_EQ(errorOf([&] { Attachment::inspect(file("cut.txt", "\xE4\xB8")); }), kNotText);
}

TEST_F(AttachmentTest, OnlyRegularFilesUpTo15MiB)
{
    std::filesystem::create_directory(temp / "folder.txt");
    EXPECT_EQ(errorOf([&] { Attachment::inspect(temp / "folder.txt"); }), kNotRegular);

    auto big = temp / "big.txt";
    writeFile(big, "");
    ASSERT_EQ(::truncate(big.c_str(), TaskWorkspace::kFileLimit + 1), 0);
    EXPECT_EQ(errorOf([&] { Attachment::inspect(big); }), kNotRegular);

    std::string exact(TaskWorkspace::kFileLimit, 'a');
    Attachment limit = Attachment::inspect(file("exact.txt", exact));
    EXPECT_EQ(limit.digest, sha256Hex(exact));
    EXPECT_EQ(limit.originalData(TaskWorkspace::kFileLimit).size(), exact.size());
    EXPECT_NO_THROW(limit.validate());

    std::string message = errorOf([&] { Attachment::inspect(temp / "absent.txt"); });
    EXPECT_EQ(message, "读取「absent.txt」的文件信息失败：文件或文件夹不存在。");
}

TEST_F(AttachmentTest, BookmarkFollowsEditsButNotRemoval)
{
    auto path = file("plan.txt", "第一版");
    Attachment attachment = Attachment::inspect(path);
    EXPECT_EQ(Bookmark::path(attachment.bookmark), std::filesystem::absolute(path));
    EXPECT_EQ(attachment.originalData(100), "第一版");

    const std::string unreadable = "无法读取附件「plan.txt」，请重新选择资料。";
    writeFile(path, "第二版"); // same inode
    EXPECT_EQ(errorOf([&] { attachment.originalData(100); }), "附件「plan.txt」自确认后已改变，请重新选择资料。");
    writeFile(path, "第一版");
    EXPECT_EQ(attachment.originalData(100), "第一版");

    // A file renamed over the path is read; its content decides.
    auto replacement = file("plan.txt.new", "第一版");
    std::filesystem::rename(replacement, path);
    EXPECT_EQ(attachment.originalData(100), "第一版");
    // Anything but a regular file there is not the document.
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    EXPECT_EQ(errorOf([&] { attachment.originalData(100); }), unreadable);
    ASSERT_EQ(::rmdir(path.c_str()), 0);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(errorOf([&] { attachment.originalData(100); }), unreadable);
    std::filesystem::remove(path);
    writeFile(path, "第一版");

    Attachment again = Attachment::inspect(path);
    std::filesystem::rename(path, temp / "elsewhere.txt");
    EXPECT_EQ(errorOf([&] { again.originalData(100); }), unreadable);
    std::filesystem::remove(temp / "elsewhere.txt");
    EXPECT_EQ(errorOf([&] { again.originalData(100); }), unreadable);
    EXPECT_EQ(errorOf([&] { again.validate(); }), "请返回编辑，移除或重新选择附件「plan.txt」。");

    Attachment forged = again;
    for (std::string bytes :
        { std::string(), std::string("KVBM"), std::string("garbage bytes that are long enough!") }) {
        forged.bookmark = bytes;
        EXPECT_EQ(errorOf([&] { forged.originalData(100); }), unreadable);
    }
}

// How editors that keep a backup or guard against a crash save: the new
// content goes to a new file that is renamed over the old one, so the path
// names a new inode.
void saveByRename(const std::filesystem::path& path, std::string_view content)
{
    auto fresh = path.parent_path() / ("." + path.filename().string() + ".swp");
    writeFile(fresh, content);
    std::filesystem::rename(fresh, path);
}

TEST_F(AttachmentTest, FileSavedAsANewFileRenamedOverTheOldOneIsCheckedByItsContent)
{
    auto path = file("方案.md", "# 方案\n第一版\n");
    Attachment attachment = Attachment::inspect(path);
    struct stat before { };
    ASSERT_EQ(::stat(path.c_str(), &before), 0);

    saveByRename(path, "# 方案\n第二版\n");
    struct stat after { };
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    ASSERT_NE(before.st_ino, after.st_ino) << "the save must give the path a new file";
    const std::string changed = "附件「方案.md」自确认后已改变，请重新选择资料。";
    EXPECT_EQ(errorOf([&] { attachment.originalData(100); }), changed);
    EXPECT_EQ(errorOf([&] { attachment.executionText(TaskWorkspace::kTextBudget); }), changed);
    EXPECT_EQ(errorOf([&] { attachment.validate(); }), "请返回编辑，移除或重新选择附件「方案.md」。");

    // Saved again with the confirmed content: the task runs on it as before.
    saveByRename(path, "# 方案\n第一版\n");
    EXPECT_EQ(attachment.originalData(100), "# 方案\n第一版\n");
    EXPECT_EQ(attachment.executionText(TaskWorkspace::kTextBudget), "# 方案\n第一版\n");
    EXPECT_NO_THROW(attachment.validate());

    // A bookmark stored before this change (the same bytes, identity and
    // path) resolves the same way.
    std::string stored("KVBM\x01", 5);
    for (std::uint64_t value : { static_cast<std::uint64_t>(before.st_dev), static_cast<std::uint64_t>(before.st_ino) })
        for (int i = 0; i < 8; ++i)
            stored += static_cast<char>(value >> (8 * i) & 0xFF);
    stored += std::filesystem::absolute(path).lexically_normal().native();
    EXPECT_EQ(stored, attachment.bookmark);
    Attachment old = attachment;
    old.bookmark = stored;
    EXPECT_EQ(old.originalData(100), "# 方案\n第一版\n");

    // Deleted: nothing to read, whatever the bookmark says.
    std::filesystem::remove(path);
    EXPECT_EQ(errorOf([&] { attachment.originalData(100); }), "无法读取附件「方案.md」，请重新选择资料。");
}

TEST_F(AttachmentTest, LimitsAndBudgets)
{
    Attachment large = Attachment::inspect(file("large.txt", std::string(40000, 'x')));
    EXPECT_EQ(errorOf([&] { large.executionText(TaskWorkspace::kTextBudget); }), kTooLong);
    EXPECT_EQ(errorOf([&] { large.originalData(39999); }), kTooLong);
    EXPECT_EQ(large.originalData(40000).size(), 40000u);
    EXPECT_EQ(large.executionText(40000).size(), 40000u);

    // An excerpt costs its own UTF-8 length, whatever the file's size.
    Attachment withExcerpt = large;
    withExcerpt.excerpt = "摘录"; // 6 bytes
    EXPECT_EQ(withExcerpt.executionText(6), "摘录");
    EXPECT_EQ(errorOf([&] { withExcerpt.executionText(5); }), kOverBudget);
    writeFile(temp / "large.txt", std::string(40000, 'y'));
    EXPECT_EQ(errorOf([&] { withExcerpt.executionText(100); }), "附件「large.txt」自确认后已改变，请重新选择资料。");
}

// ---- documents, through the excerpt readers -------------------------------

// A one-page PDF with a standard font, built by hand so that no font
// machinery is needed; without text it draws a filled box, like a scan.
void makePdf(const std::filesystem::path& path, const char* text)
{
    std::string content = text ? std::string("BT /F1 24 Tf 72 700 Td (") + text + ") Tj ET"
                               : std::string("0 0 0 rg 72 600 200 100 re f");
    std::vector<std::string> objects {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R "
        "/Resources << /Font << /F1 5 0 R >> >> >>",
        "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    };
    std::string pdf = "%PDF-1.4\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    std::size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (std::size_t offset : offsets) {
        char line[21];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
        pdf += line;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n"
        + std::to_string(xref) + "\n%%EOF\n";
    writeFile(path, pdf);
}

TEST_F(AttachmentTest, PdfKeepsItsExcerptAndLabel)
{
    auto pdf = temp / "Brief.PDF";
    makePdf(pdf, "Quarterly pilot plan");
    Attachment attachment = Attachment::inspect(pdf);
    ASSERT_TRUE(attachment.excerpt);
    EXPECT_NE(attachment.excerpt->find("Quarterly pilot plan"), std::string::npos) << *attachment.excerpt;
    EXPECT_EQ(attachment.method, "PDF 前六页文本层 · 最多 3000 字");
    EXPECT_EQ(attachment.digest, sha256Hex(testing::readFile(pdf)));
    EXPECT_EQ(attachment.executionText(TaskWorkspace::kTextBudget), *attachment.excerpt);

    auto scan = temp / "scan.pdf";
    makePdf(scan, nullptr);
    EXPECT_EQ(errorOf([&] { Attachment::inspect(scan); }), "未读到可用文字，请选用文字版资料。");
}

TEST_F(AttachmentTest, PdfExcerptTravelsThroughTheStore)
{
    makePdf(temp / "offer.pdf", "Pilot pricing for the east region");
    TaskWorkspace workspace(temp / "store");
    const std::string id = "00000000-0000-4000-8000-0000000000f1";
    Json draft { { "id", id }, { "revision", 0 }, { "title", "t" }, { "body", "b" }, { "skill", "" },
        { "project", "" } };
    Json attached = workspace.attach("owner", draft, { temp / "offer.pdf" });
    EXPECT_EQ(attached["message"], "已添加 1 个附件");
    workspace.confirm("owner", { { "id", id }, { "revision", 1 } });

    Json listed = workspace.open("owner")["records"][0]["files"][0];
    EXPECT_EQ(listed["method"], "PDF 前六页文本层 · 最多 3000 字");
    EXPECT_FALSE(listed.contains("excerpt"));
    EXPECT_FALSE(listed.contains("bookmark"));

    Json scope = workspace.startScope("owner", { { "id", id }, { "revision", 2 }, { "budgetMicros", 10 } });
    std::string text = scope["files"][0]["text"];
    EXPECT_NE(text.find("Pilot pricing for the east region"), std::string::npos) << text;
    EXPECT_EQ(scope["files"][0]["digest"], sha256Hex(text));
}

TEST_F(AttachmentTest, WordDocumentKeepsItsExcerpt)
{
    auto folder = temp / "docx";
    std::filesystem::create_directories(folder / "word");
    std::filesystem::create_directories(folder / "_rels");
    writeFile(folder / "[Content_Types].xml",
        R"(<?xml version="1.0" encoding="UTF-8"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">)"
        R"(<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>)"
        R"(<Default Extension="xml" ContentType="application/xml"/>)"
        R"(<Override PartName="/word/document.xml" ContentType="application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/></Types>)");
    writeFile(folder / "_rels" / ".rels",
        R"(<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
        R"(<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="word/document.xml"/></Relationships>)");
    writeFile(folder / "word" / "document.xml",
        R"(<?xml version="1.0" encoding="UTF-8"?><w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main">)"
        R"(<w:body><w:p><w:r><w:t>合作试点方案</w:t></w:r></w:p><w:p><w:r><w:t>第二段</w:t></w:r></w:p></w:body></w:document>)");
    auto docx = temp / "方案.docx";
    std::string command
        = "cd '" + folder.string() + "' && zip -qr '" + docx.string() + "' '[Content_Types].xml' _rels word";
    ASSERT_EQ(std::system(command.c_str()), 0);

    Attachment attachment = Attachment::inspect(docx);
    ASSERT_TRUE(attachment.excerpt);
    EXPECT_NE(attachment.excerpt->find("合作试点方案"), std::string::npos) << *attachment.excerpt;
    EXPECT_EQ(attachment.method, "Word 正文 · 前 3000 字");
}

}
}
