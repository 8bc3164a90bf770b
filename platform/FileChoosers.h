#pragma once

#include "host/FileChoice.h"

#include <gtk/gtk.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvid {

// One kind of file a chooser offers: a MIME type and the name patterns of
// its extensions.
struct FileKind {
    std::string mimeType;
    std::vector<std::string> patterns;
};

// Event files: plain text, Markdown, PDF, JPEG, PNG; one file.
const std::vector<FileKind>& eventFileKinds();
// Task files: every kind the app reads (adds CSV, Word, Excel); several files.
const std::vector<FileKind>& taskFileKinds();

// The local paths of `files` (GFile items) in order, or, when one has none
// (a file only reachable through a URI), the sentence naming it.
FileChoice localPaths(GListModel* files);

// An open panel: offers `kinds`, one file or several, transient for `parent`
// (may be null); calls `done` exactly once on the main thread with the chosen
// GFiles, or null when the user cancels.
using OpenPanel = std::function<void(
    GtkWindow* parent, const std::vector<FileKind>& kinds, bool multiple, std::function<void(GListModel* files)> done)>;

// GTK's native open panel (the portal's where there is one), non-modal.
void showOpenPanel(
    GtkWindow* parent, const std::vector<FileKind>& kinds, bool multiple, std::function<void(GListModel* files)> done);

// The host's two choosers over `parent()` (the window of the moment).
std::function<void(std::function<void(FileChoice)>)> eventFileChooser(
    std::function<GtkWindow*()> parent, OpenPanel panel = showOpenPanel);
std::function<void(std::function<void(FileChoice)>)> taskFilesChooser(
    std::function<GtkWindow*()> parent, OpenPanel panel = showOpenPanel);

}
