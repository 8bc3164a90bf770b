#pragma once

#include "host/Bridge.h"
#include "host/DesktopAppearance.h"
#include "host/FileChoice.h"

#include <cstdint>
#include <filesystem>
#include <functional>

namespace korvid {

// The page's operations on this machine and its look: permissions, the
// device status, the colour theme, inspecting the app's own window and
// reading an event file.
//
// Seams, each called on the main thread unless noted; while one is unset,
// the operation that needs it replies a Chinese error (permissions: not
// trusted, requests do nothing, screen capture allowed).
class MachineOps {
public:
    explicit MachineOps(Bridge& bridge);

    // The accessibility check asks the session bus, so it answers through its
    // completion (from any thread) instead of blocking the window.
    std::function<void(std::function<void(bool)>)> accessibilityTrusted;
    std::function<void()> requestAccessibility;
    std::function<bool()> screenCaptureAllowed;
    std::function<void()> requestScreenCapture;
    // Applies a theme to the whole application (the shell, libadwaita).
    std::function<void(DesktopAppearance)> applyAppearance;
    // The window-inspection driver: element count of a window; runs on the
    // background pool.
    std::function<std::int64_t(std::uint64_t windowID)> inspectWindow;
    // The file chooser for one event file; cancelling gives no files.
    std::function<void(std::function<void(FileChoice)>)> selectEventFile;
    // The excerpt record of an event file; runs on the background pool.
    std::function<Json(const std::filesystem::path&)> inspectEventFile;

private:
    Task<Json> permissions(std::shared_ptr<BridgeCall> call);
    Task<Json> deviceStatus(std::shared_ptr<BridgeCall> call);
    Task<Json> appearance(std::shared_ptr<BridgeCall> call);
    Task<Json> inspectOwnWindow(std::shared_ptr<BridgeCall> call);
    Task<Json> eventFile(std::shared_ptr<BridgeCall> call);
    Task<bool> awaitAccessibility();

    Bridge& bridge_;
};

}
