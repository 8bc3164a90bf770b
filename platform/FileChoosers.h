#pragma once

#include <gtk/gtk.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvid {

// One kind of file a chooser offers: a MIME type, or a name pattern for
// kinds known only by their extension.
struct FileKind {
    std::string mimeType;
    std::string pattern;
};

// Event files: plain text, PDF, PNG, JPEG, Markdown; one file.
const std::vector<FileKind>& eventFileKinds();
// Task files: plain text, CSV, PDF, JPEG, PNG, then Markdown, Excel, Word;
// several files.
const std::vector<FileKind>& taskFileKinds();

// The open panel: non-modal, transient for `parent` (may be null). `done` gets
// the chosen files in the panel's order, or an empty list when the user
// cancels; exactly once, on the main thread.
void chooseFiles(GtkWindow* parent, const std::vector<FileKind>& kinds, bool multiple,
    std::function<void(std::vector<std::filesystem::path>)> done);

// The host's two choosers over `parent()` (the window of the moment).
std::function<void(std::function<void(std::optional<std::filesystem::path>)>)> eventFileChooser(
    std::function<GtkWindow*()> parent);
std::function<void(std::function<void(std::vector<std::filesystem::path>)>)> taskFilesChooser(
    std::function<GtkWindow*()> parent);

}
