#include "host/LocalServices.h"

#include "driver/AccessibilityStatus.h"
#include "driver/DesktopDriver.h"
#include "excerpts/EventSource.h"
#include "host/DesktopHost.h"
#include "tasks/TaskWorkspace.h"

namespace korvid {

void connectLocalServices(DesktopHost& host, std::shared_ptr<const TaskWorkspace> workspace)
{
    host.workspaceHandle = [workspace](const std::string& op, const std::string& owner, const Json& payload,
                               const std::vector<std::filesystem::path>& files) {
        return workspace->handle(op, owner, payload, files);
    };
    host.readMeetingFile = [](const std::filesystem::path& file) {
        return TaskWorkspace::Attachment::inspect(file).executionText(TaskWorkspace::kTextBudget);
    };
    host.inspectEventFile = [](const std::filesystem::path& file) { return EventSource::inspect(file); };
    host.inspectWindow = [](std::uint64_t windowID) { return DesktopDriver::inspect(windowID); };
    host.accessibilityTrusted = [](std::function<void(bool)> done) { checkAccessibility(std::move(done)); };
    host.requestAccessibility = [] { requestAccessibility(); };
}

}
