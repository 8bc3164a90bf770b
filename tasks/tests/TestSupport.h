#pragma once

#include "base/DesktopError.h"
#include "tasks/TaskWorkspace.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>
#include <system_error>
#include <unistd.h>

namespace korvid::testing {

// The entry point of `workspace` a page operation reaches, for tests and the
// child process that name operations as the page does.
inline Json callEntry(const TaskWorkspace& workspace, std::string_view op, const std::string& owner,
    const Json& payload, const std::vector<std::filesystem::path>& files = {})
{
    if (op == "workspaceOpen")
        return workspace.open(owner);
    if (op == "projectCreate")
        return workspace.createProject(owner, payload);
    if (op == "taskSave")
        return workspace.save(owner, payload);
    if (op == "taskAttach")
        return workspace.attach(owner, payload, files);
    if (op == "taskConfirm")
        return workspace.confirm(owner, payload);
    if (op == "taskSource")
        return workspace.source(owner, payload);
    if (op == "taskStart")
        return workspace.startScope(owner, payload);
    throw std::invalid_argument("no task workspace entry for " + std::string(op));
}

// A fresh folder under the system's temporary folder, removed afterwards.
class TempFolder {
public:
    TempFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "korvid-tasks-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& file, std::string_view bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string readFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The message of the DesktopError `work` throws; "<none>" when it succeeds.
template <class Work> std::string errorOf(Work&& work)
{
    try {
        work();
    } catch (const DesktopError& error) {
        return error.message;
    } catch (const std::exception& error) {
        return std::string("<other: ") + error.what() + ">";
    }
    return "<none>";
}

}
