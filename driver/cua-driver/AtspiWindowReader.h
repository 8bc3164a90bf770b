#pragma once

#include "driver/cua-driver/McpServer.h"

#include <gio/gio.h>

#include <array>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace korvid {

// An accessible object on the bus: the owner's unique name and its path.
struct Ref {
    std::string bus;
    std::string path;
    bool operator<(const Ref& other) const { return std::tie(bus, path) < std::tie(other.bus, other.path); }
};

struct WindowNode;
struct CacheSnapshot;

// Reads a window's element tree from the AT-SPI accessibility bus. Talks
// D-Bus directly and sends each level's requests together, so a tree of
// hundreds of elements costs a few round trips instead of thousands.
class AtspiWindowReader {
public:
    AtspiWindowReader();
    ~AtspiWindowReader();
    AtspiWindowReader(const AtspiWindowReader&) = delete;
    AtspiWindowReader& operator=(const AtspiWindowReader&) = delete;

    // Throws ToolFailure naming the problem ("accessibility bus unavailable",
    // "pid not found", "window_id not found").
    WindowState read(const WindowStateRequest& request);

private:
    GDBusConnection* bus();
    CacheSnapshot loadCache(const std::vector<WindowNode>& nodes);
    bool walk(std::vector<WindowNode>& nodes, std::size_t cap, const CacheSnapshot& cache);
    void describe(std::vector<WindowNode>& nodes, CacheSnapshot cache);

    GMainContext* context_ = nullptr;
    GDBusConnection* bus_ = nullptr;
};

}
