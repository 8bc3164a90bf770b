#pragma once

#include "host/Bridge.h"
#include "host/BriefOps.h"
#include "host/MachineOps.h"
#include "host/SalesOps.h"
#include "host/SessionOps.h"
#include "host/TaskOps.h"
#include "host/WebWorkspaceOps.h"

namespace korvid {

// The bridge with every feature the page may ask of the application. The
// features' seams are filled where the application is put together; the
// bridge is created after the host it serves and goes before it.
class DesktopBridge {
public:
    explicit DesktopBridge(DesktopHost& host)
        : bridge_(host)
        , machine(bridge_)
        , webWorkspaces(bridge_)
        , session(bridge_)
        , tasks(bridge_)
        , briefs(bridge_, tasks)
        , sales(bridge_)
    {
    }
    DesktopBridge(const DesktopBridge&) = delete;
    DesktopBridge& operator=(const DesktopBridge&) = delete;

    void receive(BridgeMessage message) { bridge_.receive(std::move(message)); }
    std::vector<std::string> operationNames() const { return bridge_.operationNames(); }

private:
    Bridge bridge_;

public:
    MachineOps machine;
    WebWorkspaceOps webWorkspaces;
    SessionOps session;
    TaskOps tasks;
    BriefOps briefs;
    SalesOps sales;
};

}
