#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace korvid {

// The values the task workspace stores: projects, and task records with
// their attachments and the minutes they came from.

struct TaskProject {
    std::string id;
    std::string name;
    std::optional<std::string> goal;
    std::optional<std::string> companyId;
    bool operator==(const TaskProject&) const = default;
};

struct TaskAttachment {
    std::string name;
    std::string digest;
    std::string bookmark; // opaque bytes, see Bookmark
    std::optional<std::string> excerpt;
    std::optional<std::string> method;
    bool operator==(const TaskAttachment&) const = default;

    // Checks a picked file, fixes its content by digest, keeps a
    // reference to find it again and, for documents, its text excerpt.
    static TaskAttachment inspect(const std::filesystem::path& file);
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

struct TaskRecord {
    std::string id;
    std::string title;
    std::string body;
    std::string project;
    std::string skill;
    std::optional<MinuteRef> minute;
    std::vector<TaskAttachment> attachments;
    std::int64_t revision = 0;
    bool confirmed = false;
    double updatedAt = 0; // seconds since 2001-01-01T00:00:00Z
    bool operator==(const TaskRecord&) const = default;
};

}
