#include "excerpts/EventSource.h"
#include "excerpts/tests/Fixtures.h"
#include "base/DesktopError.h"
#include "base/Json.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <sys/wait.h>

namespace korvid {
namespace {

using namespace fixtures;

struct ToolRun {
    std::string output;
    int status = -1;
};

// The tool as a real child process, its output read through a pipe: the
// records must all be written before it ends, whatever it skips at exit.
ToolRun runTool(const std::string& arguments, const std::string& redirect = "")
{
    std::string command = std::string("'") + KORVID_EXCERPT_TOOL + "' " + arguments + " 2>/dev/null" + redirect;
    ToolRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char buffer[4096];
    std::size_t read = 0;
    while ((read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.output.append(buffer, read);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::vector<Json> records(const std::string& output)
{
    std::vector<Json> lines;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(Json::parse(line));
    return lines;
}

TEST(ExcerptTool, EveryRecordIsWrittenBeforeTheToolEnds)
{
    ScratchFolder folder;
    auto notes = folder.write("notes.txt", "会议纪要\n");
    auto poster = folder.write("poster.png", png({ "Deadline March 15" }));
    auto document = folder.write("brief.pdf", pdf({ { "Quarterly plan" } }));

    ToolRun all = runTool("'" + notes.string() + "' '" + poster.string() + "' '" + document.string() + "'");
    EXPECT_EQ(all.status, 0);
    std::vector<Json> lines = records(all.output);
    ASSERT_EQ(lines.size(), 3u) << all.output;
    EXPECT_NE(lines[0]["excerpt"].get<std::string>().find("会议纪要"), std::string::npos) << all.output;
    EXPECT_NE(lines[1]["excerpt"].get<std::string>().find("Deadline March 15"), std::string::npos) << all.output;
    EXPECT_NE(lines[2]["excerpt"].get<std::string>().find("Quarterly plan"), std::string::npos) << all.output;

    // A file that cannot be read is a record with its reason, and the status says so.
    ToolRun missing = runTool("'" + (folder.path() / "gone.txt").string() + "' '" + notes.string() + "'");
    EXPECT_EQ(missing.status, 1);
    lines = records(missing.output);
    ASSERT_EQ(lines.size(), 2u) << missing.output;
    EXPECT_TRUE(lines[0].contains("error"));
    EXPECT_TRUE(lines[1].contains("excerpt")) << missing.output;

    // Output that cannot be written is a failure, not a silent success.
    EXPECT_EQ(runTool("'" + poster.string() + "'", " >/dev/full").status, 1);
}

// The tool reads Word and Excel files through a module of its own: what
// crosses its boundary (the text, the label naming the sheet, a failure's
// sentence) must be what the linked readers give.
TEST(ExcerptTool, OfficeRecordsMatchTheLinkedReaders)
{
    ScratchFolder folder;
    auto word = folder.write("brief.docx", docx(paragraph("会议纪要") + paragraph(std::string(4000, 'c'))));
    auto book = folder.write("book.xlsx", simpleXlsx("<row><c r=\"A1\"><v>1</v></c></row>"));
    auto broken = folder.write("broken.xlsx", "PK not a package");

    ToolRun run = runTool("'" + word.string() + "' '" + book.string() + "' '" + broken.string() + "'");
    EXPECT_EQ(run.status, 1);
    std::vector<Json> lines = records(run.output);
    ASSERT_EQ(lines.size(), 3u) << run.output;
    EXPECT_EQ(lines[0], EventSource::inspect(word));
    EXPECT_EQ(lines[1], EventSource::inspect(book));
    std::string reason;
    try {
        EventSource::inspect(broken);
    } catch (const DesktopError& error) {
        reason = error.message;
    }
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(lines[2], Json({ { "name", "broken.xlsx" }, { "error", reason } }));
}

// The tool counts to the cut without ICU where it can, and loads ICU's
// segmenter from a module where it cannot: either way the excerpt must be the
// linked reader's.
TEST(ExcerptTool, TextCutMatchesTheLinkedReader)
{
    ScratchFolder folder;
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
    auto plain = folder.write("plain.txt", std::string(2999, 'a') + "中文" + std::string(100, 'b'));
    auto joined = folder.write("joined.txt", std::string(2999, 'a') + family + "x");
    auto marked = folder.write("marked.txt", std::string(3000, 'a') + "\u0301\u0301x");

    ToolRun run = runTool("'" + plain.string() + "' '" + joined.string() + "' '" + marked.string() + "'");
    EXPECT_EQ(run.status, 0);
    std::vector<Json> lines = records(run.output);
    ASSERT_EQ(lines.size(), 3u) << run.output;
    EXPECT_EQ(lines[0], EventSource::inspect(plain));
    EXPECT_EQ(lines[1], EventSource::inspect(joined));
    EXPECT_EQ(lines[1]["excerpt"], std::string(2999, 'a') + family);
    EXPECT_EQ(lines[2], EventSource::inspect(marked));
    EXPECT_EQ(lines[2]["excerpt"], std::string(3000, 'a') + "\u0301\u0301");
}

}
}
