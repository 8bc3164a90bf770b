#include "app/LocalServices.h"

#include "driver/AccessibilityStatus.h"
#include "driver/DesktopDriver.h"
#include "excerpts/EventSource.h"
#include "host/DesktopBridge.h"
#include "tasks/TaskWorkspace.h"

namespace korvid {

void connectLocalServices(DesktopBridge& bridge, std::shared_ptr<const TaskWorkspace> workspace)
{
    TaskOps::Workspace& entries = bridge.tasks.workspace;
    entries.open = [workspace](const std::string& owner) { return workspace->open(owner); };
    entries.createProject = [workspace](const std::string& owner, const Json& payload) {
        return workspace->createProject(owner, payload);
    };
    entries.save
        = [workspace](const std::string& owner, const Json& payload) { return workspace->save(owner, payload); };
    entries.attach
        = [workspace](const std::string& owner, const Json& payload, const std::vector<std::filesystem::path>& files) {
              return workspace->attach(owner, payload, files);
          };
    entries.confirm
        = [workspace](const std::string& owner, const Json& payload) { return workspace->confirm(owner, payload); };
    entries.source
        = [workspace](const std::string& owner, const Json& payload) { return workspace->source(owner, payload); };
    entries.startScope
        = [workspace](const std::string& owner, const Json& payload) { return workspace->startScope(owner, payload); };
    bridge.tasks.readMeetingFile = [](const std::filesystem::path& file) {
        return TaskWorkspace::Attachment::inspect(file).executionText(TaskWorkspace::kTextBudget);
    };
    bridge.machine.inspectEventFile = [](const std::filesystem::path& file) { return EventSource::inspect(file); };
    bridge.machine.inspectWindow = [](std::uint64_t windowID) { return DesktopDriver::inspect(windowID); };
    bridge.machine.accessibilityTrusted = [](std::function<void(bool)> done) { checkAccessibility(std::move(done)); };
    bridge.machine.requestAccessibility = [] { requestAccessibility(); };
}

}
