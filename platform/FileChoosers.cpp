#include "platform/FileChoosers.h"

#include "base/ReadableKinds.h"

#include <algorithm>
#include <memory>

namespace korvid {

namespace {

// The chooser's kinds from the table of kinds the app reads, one per MIME
// type in the table's order, each also matched by its extensions, since the
// MIME database may not know a file by its content (Markdown, office files).
std::vector<FileKind> kindsWhere(bool (*offered)(const ReadableKind&))
{
    std::vector<FileKind> kinds;
    for (const ReadableKind& readable : kReadableKinds) {
        if (!offered(readable))
            continue;
        std::string pattern = "*." + std::string(readable.extension);
        auto same = std::find_if(
            kinds.begin(), kinds.end(), [&](const FileKind& kind) { return kind.mimeType == readable.mimeType; });
        if (same == kinds.end())
            kinds.push_back({ std::string(readable.mimeType), { pattern } });
        else
            same->patterns.push_back(pattern);
    }
    return kinds;
}

}

const std::vector<FileKind>& eventFileKinds()
{
    static const std::vector<FileKind> kinds
        = kindsWhere([](const ReadableKind& kind) { return kind.offeredForEvents; });
    return kinds;
}

const std::vector<FileKind>& taskFileKinds()
{
    static const std::vector<FileKind> kinds = kindsWhere([](const ReadableKind&) { return true; });
    return kinds;
}

FileChoice localPaths(GListModel* files)
{
    FileChoice choice;
    for (guint i = 0, n = g_list_model_get_n_items(files); i < n; ++i) {
        auto* file = G_FILE(g_list_model_get_item(files, i));
        char* path = g_file_get_path(file);
        if (path) {
            choice.files.emplace_back(path);
            g_free(path);
            g_object_unref(file);
            continue;
        }
        // A file with no local path cannot be read, hashed or bookmarked:
        // say which one rather than silently attaching fewer.
        char* base = g_file_get_basename(file);
        char* name = g_utf8_make_valid(base ? base : "", -1);
        g_free(base);
        std::string shown = *name ? name : "未命名";
        g_free(name);
        g_object_unref(file);
        return FileChoice::failed("无法使用所选文件「" + shown + "」，请选择本机上的文件。");
    }
    return choice;
}

namespace {

struct PendingChoice {
    GtkFileChooserNative* chooser;
    std::function<void(GListModel*)> done;
};

void chooserResponded(GtkNativeDialog* dialog, int response, gpointer data)
{
    std::unique_ptr<PendingChoice> pending(static_cast<PendingChoice*>(data));
    GListModel* files = nullptr;
    if (response == GTK_RESPONSE_ACCEPT)
        files = gtk_file_chooser_get_files(GTK_FILE_CHOOSER(dialog));
    gtk_native_dialog_destroy(dialog);
    g_object_unref(pending->chooser);
    pending->done(files);
    if (files)
        g_object_unref(files);
}

}

void showOpenPanel(
    GtkWindow* parent, const std::vector<FileKind>& kinds, bool multiple, std::function<void(GListModel*)> done)
{
    GtkFileChooserNative* chooser
        = gtk_file_chooser_native_new(nullptr, parent, GTK_FILE_CHOOSER_ACTION_OPEN, nullptr, nullptr);
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(chooser), multiple);
    // One filter with every kind: the panel offers their union.
    GtkFileFilter* filter = gtk_file_filter_new();
    for (auto& kind : kinds) {
        gtk_file_filter_add_mime_type(filter, kind.mimeType.c_str());
        for (auto& pattern : kind.patterns)
            gtk_file_filter_add_pattern(filter, pattern.c_str());
    }
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser), filter);
    g_object_unref(filter);
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), FALSE);
    auto* pending = new PendingChoice { chooser, std::move(done) };
    g_signal_connect(chooser, "response", G_CALLBACK(chooserResponded), pending);
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

namespace {

std::function<void(std::function<void(FileChoice)>)> chooser(
    std::function<GtkWindow*()> parent, OpenPanel panel, const std::vector<FileKind>& kinds, bool multiple)
{
    return
        [parent = std::move(parent), panel = std::move(panel), &kinds, multiple](std::function<void(FileChoice)> done) {
            panel(parent ? parent() : nullptr, kinds, multiple,
                [done = std::move(done)](GListModel* files) { done(files ? localPaths(files) : FileChoice {}); });
        };
}

}

std::function<void(std::function<void(FileChoice)>)> eventFileChooser(
    std::function<GtkWindow*()> parent, OpenPanel panel)
{
    return chooser(std::move(parent), std::move(panel), eventFileKinds(), false);
}

std::function<void(std::function<void(FileChoice)>)> taskFilesChooser(
    std::function<GtkWindow*()> parent, OpenPanel panel)
{
    return chooser(std::move(parent), std::move(panel), taskFileKinds(), true);
}

}
