// The real driver against a real GTK 4 window, and the application's client
// against the real driver. Needs an X display and a D-Bus session (the
// accessibility bus and registry start by themselves); skips without them.
#include "driver/AccessibilityStatus.h"
#include "driver/DesktopDriver.h"
#include "driver/DriverProcess.h"
#include "driver/DriverReplyReader.h"
#include "base/DesktopError.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace korvid {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> fixtureEnvironment()
{
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        if (std::string_view(*entry).rfind("ASAN_OPTIONS=", 0) != 0)
            environment.emplace_back(*entry);
    }
    environment.emplace_back("ASAN_OPTIONS=detect_leaks=0");
    return environment;
}

// The fixture window runs while its standard input stays open.
class FixtureWindow {
public:
    explicit FixtureWindow(int extraButtons = 0)
        : process_(KORVID_FIXTURE_WINDOW, { std::to_string(extraButtons) }, fixtureEnvironment())
    {
        std::string output;
        auto deadline = DriverProcess::Clock::now() + 30s;
        while (output.find('\n') == std::string::npos) {
            if (process_.read(output, 256, deadline) != DriverProcess::ReadResult::data)
                return;
        }
        if (output.rfind("xid ", 0) == 0)
            windowID_ = std::stoull(output.substr(4));
    }

    std::uint64_t windowID() const { return windowID_; }
    std::int32_t pid() const { return static_cast<std::int32_t>(process_.pid()); }

private:
    DriverProcess process_;
    std::uint64_t windowID_ = 0;
};

class WindowInspectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display)
            GTEST_SKIP() << "no X display";
        if (!accessibilityAvailable())
            GTEST_SKIP() << "no accessibility bus";
        window_ = std::make_unique<FixtureWindow>();
        ASSERT_NE(window_->windowID(), 0u) << "the fixture window did not start";
    }

    DesktopDriver::Options options() const
    {
        auto result = DesktopDriver::defaultOptions();
        result.executable = KORVID_CUA_DRIVER;
        result.pid = window_->pid();
        return result;
    }

    // The window registers with the accessibility registry a moment after it
    // maps; wait for the first successful inspection.
    std::int64_t firstInspection()
    {
        auto giveUp = std::chrono::steady_clock::now() + 20s;
        for (;;) {
            try {
                return DesktopDriver::inspect(window_->windowID(), options());
            } catch (const DesktopError& error) {
                if (std::chrono::steady_clock::now() > giveUp) {
                    ADD_FAILURE() << error.message;
                    return -1;
                }
                std::this_thread::sleep_for(200ms);
            }
        }
    }

    // Talks to the driver directly: initialize, then one tools/call.
    Json callDriver(const Json& arguments)
    {
        DriverProcess driver(
            KORVID_CUA_DRIVER, DesktopDriver::launchArguments("com.vantorel.desktop"), fixtureEnvironment());
        auto deadline = DriverProcess::Clock::now() + 15s;
        DriverReplyReader replies(driver, deadline);
        driver.write(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{}})"
                     "\n",
            deadline);
        replies.resultFor(1);
        Json call = { { "jsonrpc", "2.0" }, { "id", 2 }, { "method", "tools/call" },
            { "params", { { "name", "get_window_state" }, { "arguments", arguments } } } };
        driver.write(call.dump() + "\n", deadline);
        return replies.resultFor(2);
    }

    std::string refusal(std::uint64_t windowID, std::int32_t pid)
    {
        auto settings = options();
        settings.pid = pid;
        try {
            DesktopDriver::inspect(windowID, settings);
        } catch (const DesktopError& error) {
            return error.message;
        }
        return "(no failure)";
    }

    std::unique_ptr<FixtureWindow> window_;
};

TEST_F(WindowInspectionTest, TheClientCountsEveryElementOfTheWindowExactlyAndStably)
{
    // window, box, three buttons each with its label, a label, an entry
    EXPECT_EQ(firstInspection(), 10);
    EXPECT_EQ(DesktopDriver::inspect(window_->windowID(), options()), 10);
}

TEST_F(WindowInspectionTest, TheDriverDescribesTheKnownWidgetsInTreeOrder)
{
    ASSERT_EQ(firstInspection(), 10);
    Json result = callDriver({ { "pid", window_->pid() }, { "window_id", window_->windowID() },
        { "include_screenshot", false }, { "tree_format", "elements" }, { "max_elements", 2000 } });
    const Json& elements = result["structuredContent"]["elements"];
    ASSERT_EQ(elements.size(), 10u);
    EXPECT_EQ(elements[0]["role"], "frame");
    EXPECT_EQ(elements[0]["name"], "Korvid inspection fixture");
    EXPECT_EQ(elements[0]["parent"], -1);
    EXPECT_EQ(elements[0]["bounds"]["width"], 480);
    std::vector<std::string> buttons;
    for (const auto& element : elements) {
        if (element["role"] == "push button")
            buttons.push_back(element["name"]);
        EXPECT_LT(element["parent"].get<int>(), element["index"].get<int>());
    }
    EXPECT_EQ(buttons, (std::vector<std::string> { "第一", "Second", "Third" }));
    EXPECT_EQ(elements[8]["name"], "A label");
    EXPECT_EQ(elements[9]["role"], "text");
    std::string text = result["content"][0]["text"];
    EXPECT_NE(text.find("WebKit web view"), std::string::npos) << text;
}

TEST_F(WindowInspectionTest, TheDriverStaysWithinMaxElements)
{
    ASSERT_EQ(firstInspection(), 10);
    Json result
        = callDriver({ { "pid", window_->pid() }, { "window_id", window_->windowID() }, { "max_elements", 4 } });
    EXPECT_EQ(result["structuredContent"]["elements"].size(), 4u);
    EXPECT_EQ(result["structuredContent"]["truncated"], true);
}

TEST_F(WindowInspectionTest, AnotherWindowOrAnInaccessibleProcessIsRefusedByName)
{
    ASSERT_EQ(firstInspection(), 10);
    std::string missingWindow = refusal(window_->windowID() + 0x100000, window_->pid());
    EXPECT_EQ(missingWindow.rfind("Cua Driver 拒绝操作（window_id", 0), 0u) << missingWindow;
    EXPECT_NE(missingWindow.find("not found"), std::string::npos) << missingWindow;

    // This test process has no accessible application.
    std::string missingProcess = refusal(window_->windowID(), static_cast<std::int32_t>(::getpid()));
    EXPECT_NE(missingProcess.find("not found"), std::string::npos) << missingProcess;
}

}
}
