#include "driver/cua-driver/McpServer.h"

#include <exception>

namespace korvid {

namespace {

constexpr const char* kProtocolVersion = "2025-03-26";
constexpr const char* kServerName = "cua-driver";
constexpr const char* kServerVersion = "0.1.0";
constexpr std::int64_t kDefaultMaxElements = 2000;
constexpr std::int64_t kLargestMaxElements = 100000;

Json rpcError(const Json& id, int code, const std::string& message)
{
    return Json { { "jsonrpc", "2.0" }, { "id", id }, { "error", { { "code", code }, { "message", message } } } };
}

Json rpcResult(const Json& id, Json result)
{
    return Json { { "jsonrpc", "2.0" }, { "id", id }, { "result", std::move(result) } };
}

Json toolError(const std::string& message)
{
    return Json { { "content", Json::array({ { { "type", "text" }, { "text", message } } }) }, { "isError", true } };
}

Json toolDescription()
{
    return Json {
        { "name", "get_window_state" },
        { "description",
            "Reads the accessibility element tree of one window of a process over AT-SPI: "
            "role, name and bounds of each element, in tree order." },
        { "inputSchema",
            { { "type", "object" },
                { "properties",
                    { { "pid", { { "type", "integer" }, { "description", "process id of the application" } } },
                        { "window_id", { { "type", "integer" }, { "description", "X11 window id of the toplevel" } } },
                        { "include_screenshot", { { "type", "boolean" }, { "description", "must be false" } } },
                        { "tree_format", { { "type", "string" }, { "enum", { "elements" } } } },
                        { "max_elements", { { "type", "integer" }, { "minimum", 1 } } } } },
                { "required", { "pid", "window_id" } } } },
    };
}

std::string summary(const WindowStateRequest& request, const WindowState& state)
{
    std::string text = "Window \"" + state.title + "\" (window_id " + std::to_string(request.windowID) + ", pid "
        + std::to_string(request.pid) + "): " + std::to_string(state.elements.size()) + " elements";
    if (state.truncated)
        text += " (cut at max_elements, the window has more)";
    text += ".";
    if (!state.note.empty())
        text += " " + state.note;
    return text;
}

}

WindowStateRequest parseWindowStateArguments(const Json& arguments)
{
    if (!arguments.is_object())
        throw ToolFailure("invalid arguments: expected an object");
    WindowStateRequest request;
    auto pid = integerAt(arguments, "pid");
    if (!pid)
        throw ToolFailure("invalid argument: pid is required and must be an integer");
    if (*pid <= 0 || *pid > INT32_MAX)
        throw ToolFailure("invalid argument: pid " + std::to_string(*pid) + " is out of bounds");
    request.pid = *pid;
    auto window = integerAt(arguments, "window_id");
    if (!window)
        throw ToolFailure("invalid argument: window_id is required and must be an integer");
    if (*window <= 0 || *window > UINT32_MAX)
        throw ToolFailure("invalid argument: window_id " + std::to_string(*window) + " is out of bounds");
    request.windowID = static_cast<std::uint64_t>(*window);
    if (arguments.contains("include_screenshot")) {
        auto screenshot = booleanAt(arguments, "include_screenshot");
        if (!screenshot)
            throw ToolFailure("invalid argument: include_screenshot must be a boolean");
        if (*screenshot)
            throw ToolFailure("unsupported argument: include_screenshot is not available from this driver");
    }
    if (arguments.contains("tree_format")) {
        auto format = stringAt(arguments, "tree_format");
        if (format != "elements")
            throw ToolFailure("unsupported argument: tree_format must be \"elements\"");
    }
    std::int64_t cap = kDefaultMaxElements;
    if (arguments.contains("max_elements")) {
        auto asked = integerAt(arguments, "max_elements");
        if (!asked)
            throw ToolFailure("invalid argument: max_elements must be an integer");
        if (*asked < 1 || *asked > kLargestMaxElements)
            throw ToolFailure("invalid argument: max_elements " + std::to_string(*asked) + " is out of bounds");
        cap = *asked;
    }
    request.maxElements = static_cast<std::size_t>(cap);
    return request;
}

McpServer::McpServer(WindowStateReader reader)
    : reader_(std::move(reader))
{
}

std::optional<std::string> McpServer::handleLine(std::string_view line)
{
    Json message = Json::parse(line.begin(), line.end(), nullptr, false);
    std::optional<Json> reply;
    if (message.is_discarded())
        reply = rpcError(nullptr, -32700, "Parse error: the line is not JSON");
    else
        reply = handle(message);
    if (!reply)
        return std::nullopt;
    return reply->dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<Json> McpServer::handle(const Json& message)
{
    if (!message.is_object())
        return rpcError(nullptr, -32600, "Invalid request: expected an object");
    auto method = stringAt(message, "method");
    bool hasID = message.contains("id");
    // Notifications ("notifications/initialized", cancellations) get no reply,
    // and neither do replies sent to us.
    if (!hasID)
        return std::nullopt;
    const Json& id = message["id"];
    if (!id.is_string() && !id.is_number_integer())
        return rpcError(nullptr, -32600, "Invalid request: id must be an integer or a string");
    if (!method)
        return rpcError(id, -32600, "Invalid request: method is required");
    static const Json kNoParams = Json::object();
    const Json* params = objectAt(message, "params");
    if (!params)
        params = &kNoParams;

    if (*method == "initialize") {
        auto asked = stringAt(*params, "protocolVersion");
        return rpcResult(id,
            { { "protocolVersion", asked.value_or(kProtocolVersion) },
                { "capabilities", { { "tools", { { "listChanged", false } } } } },
                { "serverInfo", { { "name", kServerName }, { "version", kServerVersion } } } });
    }
    if (*method == "ping")
        return rpcResult(id, Json::object());
    if (*method == "tools/list")
        return rpcResult(id, { { "tools", Json::array({ toolDescription() }) } });
    if (*method == "tools/call")
        return rpcResult(id, callTool(*params));
    return rpcError(id, -32601, "Method not found: " + *method);
}

Json McpServer::callTool(const Json& params)
{
    auto name = stringAt(params, "name");
    if (!name)
        return toolError("invalid argument: name of the tool is required");
    if (*name != "get_window_state")
        return toolError("unknown tool: " + *name);
    static const Json kNoArguments = Json::object();
    const Json* arguments = params.contains("arguments") ? &params["arguments"] : &kNoArguments;
    try {
        return windowState(*arguments);
    } catch (const ToolFailure& failure) {
        return toolError(failure.what());
    } catch (const std::exception& failure) {
        return toolError(std::string("get_window_state failed: ") + failure.what());
    }
}

Json McpServer::windowState(const Json& arguments)
{
    WindowStateRequest request = parseWindowStateArguments(arguments);
    WindowState state = reader_(request);
    std::string text = summary(request, state);
    Json structured = {
        { "pid", request.pid },
        { "window_id", request.windowID },
        { "title", state.title },
        { "element_count", state.elements.size() },
        { "truncated", state.truncated },
        { "elements", std::move(state.elements) },
    };
    return Json {
        { "content", Json::array({ { { "type", "text" }, { "text", text } } }) },
        { "structuredContent", std::move(structured) },
    };
}

}
