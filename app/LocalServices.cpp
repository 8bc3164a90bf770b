#include "app/LocalServices.h"

#include "driver/AccessibilityStatus.h"
#include "driver/DesktopDriver.h"
#include "excerpts/EventSource.h"
#include "host/DesktopBridge.h"
#include "tasks/TaskWorkspace.h"

namespace korvid {

void connectLocalServices(DesktopBridge& bridge, std::shared_ptr<const TaskWorkspace> workspace)
{
    bridge.tasks.workspaceHandle = [workspace](const std::string& op, const std::string& owner, const Json& payload,
                               const std::vector<std::filesystem::path>& files) {
        return workspace->handle(op, owner, payload, files);
    };
    bridge.tasks.readMeetingFile = [](const std::filesystem::path& file) {
        return TaskWorkspace::Attachment::inspect(file).executionText(TaskWorkspace::kTextBudget);
    };
    bridge.machine.inspectEventFile = [](const std::filesystem::path& file) { return EventSource::inspect(file); };
    bridge.machine.inspectWindow = [](std::uint64_t windowID) { return DesktopDriver::inspect(windowID); };
    bridge.machine.accessibilityTrusted = [](std::function<void(bool)> done) { checkAccessibility(std::move(done)); };
    bridge.machine.requestAccessibility = [] { requestAccessibility(); };
}

}
