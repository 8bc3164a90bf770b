#include "driver/DesktopDriver.h"

#include "driver/DriverProcess.h"
#include "driver/DriverReplyReader.h"
#include "base/Bundle.h"
#include "base/DesktopError.h"
#include "base/Json.h"

#include <system_error>
#include <unistd.h>

extern char** environ;

namespace korvid::DesktopDriver {

namespace {

constexpr std::int64_t kInitializeID = 1;
constexpr std::int64_t kToolCallID = 2;
constexpr int kMaxElements = 2000;

std::vector<std::string> launchEnvironment(const Options& options)
{
    std::vector<std::pair<std::string, std::string>> overrides = {
        { "CUA_DRIVER_RS_TELEMETRY_ENABLED", "0" },
        { "CUA_TELEMETRY_ENABLED", "0" },
        { "CUA_DRIVER_RS_UPDATE_CHECK", "0" },
        { "DO_NOT_TRACK", "1" },
    };
    overrides.insert(overrides.end(), options.environment.begin(), options.environment.end());

    std::vector<std::string> result;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string_view text = *entry;
        auto name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const auto& [key, value] : overrides)
            replaced = replaced || name == key;
        if (!replaced)
            result.emplace_back(text);
    }
    // Later overrides win over earlier ones with the same name.
    for (std::size_t i = 0; i < overrides.size(); ++i) {
        bool shadowed = false;
        for (std::size_t j = i + 1; j < overrides.size(); ++j)
            shadowed = shadowed || overrides[j].first == overrides[i].first;
        if (!shadowed)
            result.push_back(overrides[i].first + "=" + overrides[i].second);
    }
    return result;
}

void send(DriverProcess& process, const Json& message, DriverProcess::Clock::time_point deadline)
{
    std::string line = message.dump(-1, ' ', false, Json::error_handler_t::replace);
    line += '\n';
    if (!process.write(line, deadline))
        throw DesktopError(kTimeoutMessage);
}

bool isArrayOfObjects(const Json& value)
{
    if (!value.is_array())
        return false;
    for (const auto& element : value) {
        if (!element.is_object())
            return false;
    }
    return true;
}

}

Options defaultOptions()
{
    Options options;
    options.executable = bundledHelper("cua-driver");
    options.bundleIdentifier = kBundleIdentifier;
    options.pid = static_cast<std::int32_t>(::getpid());
    return options;
}

std::vector<std::string> launchArguments(const std::string& bundleIdentifier)
{
    return { "mcp", "--direct", "--embedded", "--host-bundle-id",
        bundleIdentifier.empty() ? std::string(kFallbackBundleIdentifier) : bundleIdentifier };
}

std::int64_t inspect(std::uint64_t windowID)
{
    return inspect(windowID, defaultOptions());
}

std::int64_t inspect(std::uint64_t windowID, const Options& options)
{
    std::error_code error;
    if (options.executable.empty() || !std::filesystem::is_regular_file(options.executable, error))
        throw DesktopError(kMissingDriverMessage);

    // The process's destructor closes the input, stops the driver if it is
    // still running and reaps it, on the way out of every path below.
    DriverProcess process(options.executable, launchArguments(options.bundleIdentifier), launchEnvironment(options));
    auto deadline = DriverProcess::Clock::now() + options.watchdog;
    DriverReplyReader replies(process, deadline);

    send(process,
        Json { { "jsonrpc", "2.0" }, { "id", kInitializeID }, { "method", "initialize" },
            { "params",
                { { "protocolVersion", "2025-03-26" }, { "capabilities", Json::object() },
                    { "clientInfo", { { "name", "Korvid" }, { "version", "0.1" } } } } } },
        deadline);
    replies.resultFor(kInitializeID);

    send(process, Json { { "jsonrpc", "2.0" }, { "method", "notifications/initialized" } }, deadline);
    send(process,
        Json { { "jsonrpc", "2.0" }, { "id", kToolCallID }, { "method", "tools/call" },
            { "params",
                { { "name", "get_window_state" },
                    { "arguments",
                        { { "pid", options.pid }, { "window_id", windowID }, { "include_screenshot", false },
                            { "tree_format", "elements" }, { "max_elements", kMaxElements } } } } } },
        deadline);
    Json result = replies.resultFor(kToolCallID);

    const Json* structure = objectAt(result, "structuredContent");
    const Json* elements = structure ? arrayAt(*structure, "elements") : nullptr;
    if (!elements || !isArrayOfObjects(*elements))
        throw DesktopError(kNoStructureMessage);
    return static_cast<std::int64_t>(elements->size());
}

}
