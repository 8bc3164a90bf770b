#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace korvid::DesktopDriver {

// Messages a failed inspection shows to the user.
inline constexpr const char* kMissingDriverMessage = "缺少随包读取组件。";
inline constexpr const char* kTimeoutMessage = "读取组件超时或返回异常，本页未加入。";
inline constexpr const char* kNoStructureMessage = "无法读取当前窗口的辅助功能结构。";
inline constexpr const char* kStartFailedMessage = "无法启动随包读取组件。";
inline constexpr const char* kWriteFailedMessage = "无法向随包读取组件发送请求。";

// Sent as --host-bundle-id when the application has no identifier.
inline constexpr const char* kFallbackBundleIdentifier = "com.vantorel.desktop.dev";
inline constexpr std::size_t kOutputCap = 15'999'999;

struct Options {
    // resources/cua-driver beside the executable.
    std::filesystem::path executable;
    // Bounds the whole exchange from just after the launch.
    std::chrono::milliseconds watchdog { std::chrono::seconds(15) };
    std::string bundleIdentifier;
    // The process whose window is read: this process.
    std::int32_t pid = 0;
    // Extra variables for the driver, applied after the product's own four.
    std::vector<std::pair<std::string, std::string>> environment;
};

// The product's settings: the shipped driver, 15 s, this process.
Options defaultOptions();

// Starts a fresh driver, asks it for the element tree of the window with the
// given X11 window id and returns how many elements it reported. Blocks for
// the whole exchange; throws DesktopError with a sentence for the user.
std::int64_t inspect(std::uint64_t windowID);
std::int64_t inspect(std::uint64_t windowID, const Options& options);

// The launch arguments after the executable, in order.
std::vector<std::string> launchArguments(const std::string& bundleIdentifier);

}
