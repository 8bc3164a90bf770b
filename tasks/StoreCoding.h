#pragma once

#include "tasks/TaskWorkspace.h"

#include <string>
#include <string_view>
#include <vector>

namespace korvid {

// The JSON form of the stored files: compact UTF-8, optional keys left out,
// unknown keys ignored, every required key present with its JSON type.
// Decoding failures throw DesktopError naming the file and the key.
class StoreCoding {
public:
    using Project = TaskWorkspace::Project;
    using Record = TaskWorkspace::Record;

    static std::string encodeProjects(const std::vector<Project>& projects);
    static std::vector<Project> decodeProjects(std::string_view bytes, const std::string& fileName);

    static std::string encodeRecord(const Record& record);
    // `keepExcerpts` false checks stored excerpts but keeps them empty: the
    // listing only shows records and never writes them back, and excerpts are
    // by far the largest part of a task file.
    static Record decodeRecord(std::string_view bytes, const std::string& fileName, bool keepExcerpts = true);

    static Json projectObject(const Project& project);
};

}
