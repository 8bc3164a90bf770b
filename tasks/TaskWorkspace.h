#pragma once

#include "base/Json.h"
#include "base/Limits.h"

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

    struct Project {
        std::string id;
        std::string name;
        std::optional<std::string> goal;
        std::optional<std::string> companyId;
        bool operator==(const Project&) const = default;
    };

    struct Attachment {
        std::string name;
        std::string digest;
        std::string bookmark; // opaque bytes, see Bookmark
        std::optional<std::string> excerpt;
        std::optional<std::string> method;
        bool operator==(const Attachment&) const = default;

        // Checks a picked file, fixes its content by digest, keeps a
        // reference to find it again and, for documents, its text excerpt.
        static Attachment inspect(const std::filesystem::path& file);
        // The file's bytes (at most `limit`), found again through the
        // bookmark and checked against the digest.
        std::string originalData(std::size_t limit) const;
        // The text a run uses, within `remaining` UTF-8 bytes.
        std::string executionText(std::size_t remaining) const;
        // originalData with the file limit, any failure told as one sentence
        // asking the user to pick the file again.
        void validate() const;
    };

    struct MinuteRef {
        std::string id;
        std::string digest;
        std::string title;
        bool operator==(const MinuteRef&) const = default;
    };

    struct Record {
        std::string id;
        std::string title;
        std::string body;
        std::string project;
        std::string skill;
        std::optional<MinuteRef> minute;
        std::vector<Attachment> attachments;
        std::int64_t revision = 0;
        bool confirmed = false;
        double updatedAt = 0; // seconds since 2001-01-01T00:00:00Z
        bool operator==(const Record&) const = default;
    };

    explicit TaskWorkspace(std::filesystem::path root);

    // $XDG_DATA_HOME (or ~/.local/share) / <store identifier> / TaskWorkspace.
    static std::filesystem::path defaultRoot();
    // The folder name for a bundle identifier: the shipping identifier (or
    // none) keeps its data apart under "<identifier>.dev".
    static std::string storeIdentifier(const std::string& bundleIdentifier);
    // 64 lower-case hexadecimal digits of SHA-256 over the owner string.
    static std::string ownerKey(const std::string& owner);

    const std::filesystem::path& root() const { return root_; }

    // One page operation for one account. Blocking; throws DesktopError (or
    // another exception) on failure, having written nothing.
    Json handle(const std::string& op, const std::string& owner, const Json& payload,
                const std::vector<std::filesystem::path>& selectedFiles = {}) const;

    // The map the page sees for a record: no bookmarks, no excerpts, the
    // update time as ISO 8601 text.
    static Json display(const Record& record);
    static Json display(Record&& record);

private:
    Json createProject(OwnerFolder& folder, const std::vector<Project>& projects,
                       const std::string& id, const Json& payload) const;
    Json recordOperation(OwnerFolder& folder, const std::vector<Project>& projects,
                         const std::string& op, const std::string& id, const Json& payload,
                         const std::vector<std::filesystem::path>& selectedFiles) const;

    std::filesystem::path root_;
};

}
