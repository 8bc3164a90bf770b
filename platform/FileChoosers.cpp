#include "platform/FileChoosers.h"

#include <memory>

namespace korvid {

const std::vector<FileKind>& eventFileKinds()
{
    static const std::vector<FileKind> kinds = {
        {"text/plain", ""},
        {"application/pdf", ""},
        {"image/png", ""},
        {"image/jpeg", ""},
        {"text/markdown", "*.md"},
    };
    return kinds;
}

const std::vector<FileKind>& taskFileKinds()
{
    static const std::vector<FileKind> kinds = {
        {"text/plain", ""},
        {"text/csv", ""},
        {"application/pdf", ""},
        {"image/jpeg", ""},
        {"image/png", ""},
        {"text/markdown", "*.md"},
        {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", "*.xlsx"},
        {"application/vnd.openxmlformats-officedocument.wordprocessingml.document", "*.docx"},
    };
    return kinds;
}

namespace {

struct PendingChoice {
    GtkFileChooserNative* chooser;
    std::function<void(std::vector<std::filesystem::path>)> done;
};

void chooserResponded(GtkNativeDialog* dialog, int response, gpointer data)
{
    std::unique_ptr<PendingChoice> pending(static_cast<PendingChoice*>(data));
    std::vector<std::filesystem::path> chosen;
    if (response == GTK_RESPONSE_ACCEPT) {
        GListModel* files = gtk_file_chooser_get_files(GTK_FILE_CHOOSER(dialog));
        for (guint i = 0, n = g_list_model_get_n_items(files); i < n; ++i) {
            auto* file = G_FILE(g_list_model_get_item(files, i));
            if (char* path = g_file_get_path(file)) {
                chosen.emplace_back(path);
                g_free(path);
            }
            g_object_unref(file);
        }
        g_object_unref(files);
    }
    gtk_native_dialog_destroy(dialog);
    g_object_unref(pending->chooser);
    pending->done(std::move(chosen));
}

}

void chooseFiles(GtkWindow* parent, const std::vector<FileKind>& kinds, bool multiple,
    std::function<void(std::vector<std::filesystem::path>)> done)
{
    GtkFileChooserNative* chooser = gtk_file_chooser_native_new(nullptr, parent, GTK_FILE_CHOOSER_ACTION_OPEN,
        nullptr, nullptr);
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(chooser), multiple);
    // One filter with every kind: the panel offers their union.
    GtkFileFilter* filter = gtk_file_filter_new();
    for (auto& kind : kinds) {
        if (!kind.mimeType.empty())
            gtk_file_filter_add_mime_type(filter, kind.mimeType.c_str());
        if (!kind.pattern.empty())
            gtk_file_filter_add_pattern(filter, kind.pattern.c_str());
    }
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser), filter);
    g_object_unref(filter);
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), FALSE);
    auto* pending = new PendingChoice {chooser, std::move(done)};
    g_signal_connect(chooser, "response", G_CALLBACK(chooserResponded), pending);
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

std::function<void(std::function<void(std::optional<std::filesystem::path>)>)> eventFileChooser(
    std::function<GtkWindow*()> parent)
{
    return [parent](std::function<void(std::optional<std::filesystem::path>)> done) {
        chooseFiles(parent ? parent() : nullptr, eventFileKinds(), false,
            [done = std::move(done)](std::vector<std::filesystem::path> chosen) {
                done(chosen.empty() ? std::nullopt : std::optional(chosen.front()));
            });
    };
}

std::function<void(std::function<void(std::vector<std::filesystem::path>)>)> taskFilesChooser(
    std::function<GtkWindow*()> parent)
{
    return [parent](std::function<void(std::vector<std::filesystem::path>)> done) {
        chooseFiles(parent ? parent() : nullptr, taskFileKinds(), true, std::move(done));
    };
}

}
