#pragma once

#include "base/Json.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace korvid {

// What "get_window_state" is asked for, after its arguments were checked.
struct WindowStateRequest {
    std::int64_t pid = 0;
    std::uint64_t windowID = 0;
    std::size_t maxElements = 2000;
};

// The element tree of one window, as the reader found it.
struct WindowState {
    std::string title;
    Json elements = Json::array(); // objects with "role", "name", "bounds", ...
    bool truncated = false;        // more elements than max_elements
    std::string note;              // a limit of the toolkit the caller should know about
};

// A tool call the driver cannot answer; the message names the problem in
// words a client can match ("window_id not found").
class ToolFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The driver's side of the Model Context Protocol: one JSON-RPC 2.0 message
// per line in, at most one reply per line out. Knows nothing of AT-SPI; the
// window is read by the function it is given.
class McpServer {
public:
    using WindowStateReader = std::function<WindowState(const WindowStateRequest&)>;

    explicit McpServer(WindowStateReader reader);

    // The reply line (without its line feed), or none for a notification.
    std::optional<std::string> handleLine(std::string_view line);
    std::optional<Json> handle(const Json& message);

private:
    Json callTool(const Json& params);
    Json windowState(const Json& arguments);

    WindowStateReader reader_;
};

// The tool's arguments checked in a fixed order; throws ToolFailure.
WindowStateRequest parseWindowStateArguments(const Json& arguments);

}
