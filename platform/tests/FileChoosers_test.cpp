// Both file choosers over a stand-in of the open panel (the real panel needs
// a person to answer it): what reaches the host for local files, a file with
// no local path, and a cancelled panel.
#include "platform/FileChoosers.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace korvid {
namespace {

// Stands in for the open panel: records what it was asked to offer and
// answers with `answer` (a list of GFiles, or null for a cancel).
struct FakePanel {
    std::vector<std::string> answer; // URIs
    bool cancel = false;
    bool multiple = false;
    std::size_t kinds = 0;
    int shown = 0;

    OpenPanel panel()
    {
        return
            [this](GtkWindow*, const std::vector<FileKind>& offered, bool many, std::function<void(GListModel*)> done) {
                ++shown;
                multiple = many;
                kinds = offered.size();
                if (cancel) {
                    done(nullptr);
                    return;
                }
                GListStore* files = g_list_store_new(G_TYPE_FILE);
                for (auto& uri : answer) {
                    GFile* file = g_file_new_for_uri(uri.c_str());
                    g_list_store_append(files, file);
                    g_object_unref(file);
                }
                done(G_LIST_MODEL(files));
                g_object_unref(files);
            };
    }
};

FileChoice choose(const std::function<void(std::function<void(FileChoice)>)>& chooser)
{
    std::optional<FileChoice> answer;
    int calls = 0;
    chooser([&](FileChoice choice) {
        ++calls;
        answer = std::move(choice);
    });
    EXPECT_EQ(calls, 1);
    return answer.value_or(FileChoice::failed("no answer"));
}

TEST(FileChoosersTest, TaskChooserGivesEveryLocalFileInOrderOrNamesTheOneItCannotUse)
{
    FakePanel panel;
    auto chooser = taskFilesChooser(nullptr, panel.panel());
    panel.answer = { "file:///tmp/%E6%8A%A5%E4%BB%B7.pdf", "file:///tmp/b.docx" };
    auto chosen = choose(chooser);
    EXPECT_EQ(chosen.failure, "");
    EXPECT_EQ(chosen.files, (std::vector<std::filesystem::path> { "/tmp/报价.pdf", "/tmp/b.docx" }));
    EXPECT_TRUE(panel.multiple);
    EXPECT_EQ(panel.kinds, taskFileKinds().size());

    // One file of three has no local path: nothing is attached, and the
    // sentence names it (not a silent, shorter list).
    panel.answer = { "file:///tmp/a.txt", "sftp://server.example/%E7%BA%AA%E8%A6%81.docx", "file:///tmp/c.txt" };
    chosen = choose(chooser);
    EXPECT_TRUE(chosen.files.empty());
    EXPECT_EQ(chosen.failure, "无法使用所选文件「纪要.docx」，请选择本机上的文件。");

    panel.cancel = true;
    chosen = choose(chooser);
    EXPECT_TRUE(chosen.files.empty());
    EXPECT_EQ(chosen.failure, "");
}

TEST(FileChoosersTest, EventChooserGivesOneLocalFileOrSaysWhyNot)
{
    FakePanel panel;
    auto chooser = eventFileChooser([] { return nullptr; }, panel.panel());
    panel.answer = { "file:///tmp/%E8%AE%AE%E7%A8%8B.pdf" };
    auto chosen = choose(chooser);
    EXPECT_EQ(chosen.files, std::vector<std::filesystem::path> { "/tmp/议程.pdf" });
    EXPECT_FALSE(panel.multiple);
    EXPECT_EQ(panel.kinds, eventFileKinds().size());

    // Before, a file without a path came back as a cancel.
    panel.answer = { "https://files.example/%E8%AE%AE%E7%A8%8B.pdf" };
    chosen = choose(chooser);
    EXPECT_TRUE(chosen.files.empty());
    EXPECT_EQ(chosen.failure, "无法使用所选文件「议程.pdf」，请选择本机上的文件。");

    // A name that is not UTF-8 still makes a readable sentence.
    panel.answer = { "sftp://server.example/%FF%FE" };
    chosen = choose(chooser);
    EXPECT_TRUE(g_utf8_validate(chosen.failure.c_str(), -1, nullptr)) << chosen.failure;
    EXPECT_TRUE(chosen.failure.starts_with("无法使用所选文件「")) << chosen.failure;

    panel.cancel = true;
    EXPECT_TRUE(choose(chooser).files.empty());
    EXPECT_EQ(panel.shown, 4);
}

}
}

namespace korvid {
namespace {

std::vector<std::string> mimeTypes(const std::vector<FileKind>& kinds)
{
    std::vector<std::string> types;
    for (auto& kind : kinds)
        types.push_back(kind.mimeType);
    return types;
}

TEST(FileChoosersTest, ChoosersOfferWhatTheReadersRead)
{
    // A meeting's file is text, PDF or a picture; a task takes every kind.
    EXPECT_EQ(mimeTypes(eventFileKinds()),
        (std::vector<std::string> { "text/plain", "text/markdown", "application/pdf", "image/jpeg", "image/png" }));
    auto task = mimeTypes(taskFileKinds());
    EXPECT_EQ(task.size(), 8u);
    for (const char* type : { "text/csv", "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
             "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet" })
        EXPECT_NE(std::find(task.begin(), task.end(), type), task.end()) << type;
    // Both spellings of JPEG under one type, and a pattern for each kind the
    // MIME database may not recognise by content.
    auto jpeg = std::find_if(eventFileKinds().begin(), eventFileKinds().end(),
        [](const FileKind& kind) { return kind.mimeType == "image/jpeg"; });
    ASSERT_NE(jpeg, eventFileKinds().end());
    EXPECT_EQ(jpeg->patterns, (std::vector<std::string> { "*.jpg", "*.jpeg" }));
    EXPECT_EQ(taskFileKinds()[1].patterns, std::vector<std::string> { "*.md" });
}

}
}
