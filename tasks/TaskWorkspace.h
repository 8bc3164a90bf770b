#pragma once

#include "base/Json.h"
#include "base/Limits.h"
#include "tasks/TaskRecords.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace korvid {

class OwnerFolder;

// The user's projects and task drafts on disk, one folder per account. The
// files are the only state: every call opens the owner's folder, takes its
// lock, reads what it needs, writes whole files atomically and lets go.
class TaskWorkspace {
public:
    // Files of at most 15 MiB are attached; one byte more is read so that a
    // larger file is noticed.
    static constexpr std::size_t kFileLimit = kPickedFileLimit;
    // Attachment text one run (or one source read) may use, in UTF-8 bytes.
    static constexpr std::size_t kTextBudget = 32768;
    static constexpr std::size_t kMaxAttachments = 5;

    using Project = TaskProject;
    using Attachment = TaskAttachment;
    using MinuteRef = korvid::MinuteRef;
    using Record = TaskRecord;

    explicit TaskWorkspace(std::filesystem::path root);

    // $XDG_DATA_HOME (or ~/.local/share) / <store identifier> / TaskWorkspace.
    static std::filesystem::path defaultRoot();
    // The folder name for a bundle identifier: the shipping identifier (or
    // none) keeps its data apart under "<identifier>.dev".
    static std::string storeIdentifier(const std::string& bundleIdentifier);
    // 64 lower-case hexadecimal digits of SHA-256 over the owner string.
    static std::string ownerKey(const std::string& owner);

    const std::filesystem::path& root() const { return root_; }

    // One account's operations, each blocking; each throws DesktopError (or
    // another exception) on failure, having written nothing. Operations on a
    // record take its "id" and "revision" from `payload` and check them, then
    // that the revision is the stored one, before their own work.

    // The account's projects and records, newest first.
    Json open(const std::string& owner) const;
    // A project named by `payload`; the same project again is answered as it is.
    Json createProject(const std::string& owner, const Json& payload) const;
    // Saves a draft.
    Json save(const std::string& owner, const Json& payload) const;
    // Saves a draft with the picked files added to it; what could not be
    // added is told in the answer's message.
    Json attach(
        const std::string& owner, const Json& payload, const std::vector<std::filesystem::path>& selectedFiles) const;
    // Confirms a draft: its files must still be what was attached.
    Json confirm(const std::string& owner, const Json& payload) const;
    // The text of one file of a confirmed task ("source", from 1).
    Json source(const std::string& owner, const Json& payload) const;
    // What a run of a confirmed task is started with ("budgetMicros").
    Json startScope(const std::string& owner, const Json& payload) const;

    // The map the page sees for a record: no bookmarks, no excerpts, the
    // update time as ISO 8601 text.
    static Json display(const Record& record);
    static Json display(Record&& record);

private:
    struct RecordCall;
    // Opens the owner's folder (taking its lock) and reads the projects, the
    // record's id, the stored record and the revision, in that order.
    RecordCall openRecord(const std::string& owner, const Json& payload) const;
    // The lower-case id of payload "id", or the refusal.
    static std::string recordID(const Json& payload);

    std::filesystem::path root_;
};

}
