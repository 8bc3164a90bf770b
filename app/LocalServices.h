#pragma once

#include <memory>

namespace korvid {

class DesktopBridge;
class TaskWorkspace;

// Connects the bridge's seams to the subsystems that run on this machine: the
// task workspace (on the host's task queue), attachments for minutes files,
// the excerpt readers for event files, the window-inspection driver and the
// accessibility bus. The file choosers, the theme and web workspaces belong
// to the window and are connected there.
void connectLocalServices(DesktopBridge& bridge, std::shared_ptr<const TaskWorkspace> workspace);

}
