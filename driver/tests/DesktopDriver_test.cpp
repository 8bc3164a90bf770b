#include "driver/DesktopDriver.h"

#include "base/DesktopError.h"
#include "base/Json.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace korvid {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::size_t openDescriptorCount()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

bool hasChildren()
{
    return ::waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD;
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

// Fake drivers are small shell scripts; "reply N" answers with whatever
// follows once the client has written a line.
class DesktopDriverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/korvid-driver-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        folder_ = pattern;
        descriptorsBefore_ = openDescriptorCount();
    }

    void TearDown() override
    {
        // Every path closes its pipes and reaps its child.
        EXPECT_EQ(openDescriptorCount(), descriptorsBefore_);
        EXPECT_FALSE(hasChildren());
        fs::remove_all(folder_);
    }

    fs::path writeDriver(const std::string& body)
    {
        fs::path path = folder_ / ("driver" + std::to_string(++drivers_));
        std::ofstream(path) << "#!/bin/sh\nDIR='" << folder_.string() << "'\n" << body;
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }

    DesktopDriver::Options options(const fs::path& executable)
    {
        auto result = DesktopDriver::defaultOptions();
        result.executable = executable;
        result.watchdog = 5s;
        return result;
    }

    std::string failure(const std::function<void()>& call)
    {
        try {
            call();
        } catch (const DesktopError& error) {
            return error.message;
        }
        return "(no failure)";
    }

    fs::path folder_;
    std::size_t descriptorsBefore_ = 0;
    int drivers_ = 0;
};

const char* kInitReply = R"('{"jsonrpc":"2.0","id":1,"result":{"protocolVersion":"2025-03-26"}}')";

std::string answering(const std::string& toolReplyLines)
{
    return std::string("IFS= read -r l\nprintf '%s\\n' ") + kInitReply + "\n"
        + "IFS= read -r l\nIFS= read -r l\nprintf '%s\\n' " + toolReplyLines + "\nexec cat >/dev/null\n";
}

TEST_F(DesktopDriverTest, SendsTheExactLaunchAndMessagesAndCountsElements)
{
    ::setenv("DO_NOT_TRACK", "0", 1);
    ::setenv("CUA_TELEMETRY_ENABLED", "1", 1);
    ::setenv("KORVID_DRIVER_TEST_MARKER", "kept", 1);
    auto driver = writeDriver(R"(printf '%s\n' "$@" > "$DIR/args"
env > "$DIR/env"
IFS= read -r l; printf '%s\n' "$l" > "$DIR/in"
printf '%s\n' '{"jsonrpc":"2.0","id":1,"result":{}}'
IFS= read -r l; printf '%s\n' "$l" >> "$DIR/in"
IFS= read -r l; printf '%s\n' "$l" >> "$DIR/in"
printf '%s\n' '{"jsonrpc":"2.0","id":2,"result":{"structuredContent":{"elements":[{"role":"frame"},{},{}]}}}'
exec cat >/dev/null
)");
    auto settings = options(driver);
    settings.pid = 4242;
    EXPECT_EQ(DesktopDriver::inspect(81788929, settings), 3);

    EXPECT_EQ(lines(readFile(folder_ / "args")),
        (std::vector<std::string> { "mcp", "--direct", "--embedded", "--host-bundle-id", "com.vantorel.desktop" }));
    auto environment = lines(readFile(folder_ / "env"));
    auto has = [&](const std::string& entry) {
        return std::find(environment.begin(), environment.end(), entry) != environment.end();
    };
    EXPECT_TRUE(has("CUA_DRIVER_RS_TELEMETRY_ENABLED=0"));
    EXPECT_TRUE(has("CUA_TELEMETRY_ENABLED=0"));
    EXPECT_TRUE(has("CUA_DRIVER_RS_UPDATE_CHECK=0"));
    EXPECT_TRUE(has("DO_NOT_TRACK=1"));
    EXPECT_FALSE(has("DO_NOT_TRACK=0"));
    EXPECT_TRUE(has("KORVID_DRIVER_TEST_MARKER=kept"));

    auto written = lines(readFile(folder_ / "in"));
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(Json::parse(written[0]), Json::parse(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{
        "protocolVersion":"2025-03-26","capabilities":{},"clientInfo":{"name":"Korvid","version":"0.1"}}})"));
    EXPECT_EQ(Json::parse(written[1]), Json::parse(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"));
    EXPECT_EQ(Json::parse(written[2]), Json::parse(R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{
        "name":"get_window_state","arguments":{"pid":4242,"window_id":81788929,"include_screenshot":false,
        "tree_format":"elements","max_elements":2000}}})"));
    // Each message is one compact line.
    EXPECT_EQ(written[1].find(' '), std::string::npos);
}

TEST_F(DesktopDriverTest, WithoutABundleIdentifierSendsTheDevelopmentOne)
{
    auto driver = writeDriver(R"(printf '%s\n' "$@" > "$DIR/args"
)" + answering(R"('{"jsonrpc":"2.0","id":2,"result":{"structuredContent":{"elements":[]}}}')"));
    auto settings = options(driver);
    settings.bundleIdentifier.clear();
    EXPECT_EQ(DesktopDriver::inspect(1, settings), 0);
    EXPECT_EQ(lines(readFile(folder_ / "args")).back(), "com.vantorel.desktop.dev");
}

TEST_F(DesktopDriverTest, SkipsNotificationsStrayIdsAndNonObjectsSharingOneBuffer)
{
    // Everything arrives at once, before the client has sent its second
    // request: the tool reply must survive in the buffer across both reads.
    auto driver = writeDriver(R"(IFS= read -r l
printf '%s\n' '{"jsonrpc":"2.0","method":"notifications/message","params":{"level":"info"}}' \
  '{"jsonrpc":"2.0","id":7,"result":{}}' '[1,2]' '"text"' '{"jsonrpc":"2.0","id":"1","result":{}}' \
  '{"jsonrpc":"2.0","id":1.0,"error":{"message":"not an integer id"}}' \
  '{"jsonrpc":"2.0","id":1,"result":{}}' \
  '{"jsonrpc":"2.0","id":1,"error":{"message":"late duplicate of reply 1"}}' \
  '{"jsonrpc":"2.0","method":"notifications/progress"}' \
  '{"jsonrpc":"2.0","id":2,"result":{"structuredContent":{"elements":[{},{}]}}}'
exec cat >/dev/null
)");
    EXPECT_EQ(DesktopDriver::inspect(5, options(driver)), 2);
}

TEST_F(DesktopDriverTest, ALogLineOnStandardOutputFailsAsJson)
{
    auto driver = writeDriver("echo 'cua-driver starting up'\n" + answering("'{}'"));
    EXPECT_EQ(failure([&] { DesktopDriver::inspect(5, options(driver)); }), "数据不是有效的 JSON，无法读取。");
}

TEST_F(DesktopDriverTest, AnEmptyLineFailsAsJson)
{
    auto driver
        = writeDriver(answering(R"('' '{"jsonrpc":"2.0","id":2,"result":{"structuredContent":{"elements":[]}}}')"));
    EXPECT_EQ(failure([&] { DesktopDriver::inspect(5, options(driver)); }), "数据不是有效的 JSON，无法读取。");
}

TEST_F(DesktopDriverTest, ADriverThatNeverAnswersIsStoppedByTheWatchdog)
{
    auto driver = writeDriver("exec sleep 60\n");
    auto settings = options(driver);
    settings.watchdog = 300ms;
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(failure([&] { DesktopDriver::inspect(5, settings); }), DesktopDriver::kTimeoutMessage);
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 3s);
}

TEST_F(DesktopDriverTest, TheWatchdogCoversTheWholeExchangeNotEachRead)
{
    // Each line comes just inside a per-read limit, but together they pass it.
    auto driver = writeDriver(R"(IFS= read -r l
while :; do printf '%s\n' '{"jsonrpc":"2.0","method":"notifications/progress"}'; sleep 0.1; done
)");
    auto settings = options(driver);
    settings.watchdog = 400ms;
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(failure([&] { DesktopDriver::inspect(5, settings); }), DesktopDriver::kTimeoutMessage);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
}

TEST_F(DesktopDriverTest, ADriverThatIgnoresTerminationIsKilled)
{
    auto driver = writeDriver("trap '' TERM\nwhile :; do sleep 0.05; done\n");
    auto settings = options(driver);
    settings.watchdog = 200ms;
    EXPECT_EQ(failure([&] { DesktopDriver::inspect(5, settings); }), DesktopDriver::kTimeoutMessage);
}

TEST_F(DesktopDriverTest, OutputEndingBeforeTheReplyIsATimeOutFailure)
{
    auto driver = writeDriver(std::string("IFS= read -r l\nprintf '%s\\n' ") + kInitReply
        + "\nIFS= read -r l\nIFS= read -r l\nprintf '%s' '{\"jsonrpc\":\"2.0\",\"id\":2'\n");
    EXPECT_EQ(failure([&] { DesktopDriver::inspect(5, options(driver)); }), DesktopDriver::kTimeoutMessage);
}

TEST_F(DesktopDriverTest, ADriverThatExitsAtOnceNeverCrashesTheCaller)
{
    // Writing to a pipe nobody reads would raise SIGPIPE.
    auto driver = writeDriver("exit 0\n");
    auto message = failure([&] { DesktopDriver::inspect(5, options(driver)); });
    EXPECT_TRUE(message == DesktopDriver::kTimeoutMessage || message == DesktopDriver::kWriteFailedMessage) << message;
}

TEST_F(DesktopDriverTest, IsErrorWithMatchingWordsNamesThemInTableOrder)
{
    auto driver = writeDriver(answering(
        R"('{"jsonrpc":"2.0","id":2,"result":{"isError":true,"message":"Denied by the Accessibility permission"}}')"));
    EXPECT_EQ(failure([&] { DesktopDriver::inspect(5, options(driver)); }),
        "Cua Driver 拒绝操作（permission, accessibility, denied）。");
}

TEST_F(DesktopDriverTest, IsErrorWithATokenPutsItFirst)
{
    auto driver = writeDriver(answering(
        R"('{"jsonrpc":"2.0","id":2,"result":{"isError":true,"message":"Accessibility permission denied for window_id 5"}}')"));
    EXPECT_EQ(failure([&] { DesktopDriver::inspect(5, options(driver)); }),
        "Cua Driver 拒绝操作（window_id, permission, accessibility, denied, window）。");
}

TEST_F(DesktopDriverTest, AnErrorMemberWithoutWordsIsTheBareRefusal)
{
    auto driver = writeDriver(answering(R"('{"jsonrpc":"2.0","id":2,"error":{"code":-32000,"message":"Boom"}}')"));
    EXPECT_EQ(failure([&] { DesktopDriver::inspect(5, options(driver)); }), "Cua Driver 拒绝操作。");
}

TEST_F(DesktopDriverTest, ARefusedInitializeStopsBeforeTheToolCall)
{
    auto driver = writeDriver(R"(IFS= read -r l
printf '%s\n' '{"jsonrpc":"2.0","id":1,"error":{"code":-32602,"message":"Unsupported protocol"}}'
IFS= read -r l && echo called > "$DIR/called"
exec cat >/dev/null
)");
    EXPECT_EQ(failure([&] { DesktopDriver::inspect(5, options(driver)); }), "Cua Driver 拒绝操作（unsupported）。");
    EXPECT_FALSE(fs::exists(folder_ / "called"));
}

TEST_F(DesktopDriverTest, AResultThatIsNotAnObjectIsARefusal)
{
    auto driver = writeDriver(answering(R"('{"jsonrpc":"2.0","id":2,"result":[1]}')"));
    EXPECT_EQ(failure([&] { DesktopDriver::inspect(5, options(driver)); }), "Cua Driver 拒绝操作。");
}

TEST_F(DesktopDriverTest, IsErrorOnlyCountsWhenItIsTheBooleanTrue)
{
    auto driver = writeDriver(
        answering(R"('{"jsonrpc":"2.0","id":2,"result":{"isError":"true","structuredContent":{"elements":[{}]}}}')"));
    EXPECT_EQ(DesktopDriver::inspect(5, options(driver)), 1);
}

TEST_F(DesktopDriverTest, AStructureThatIsMissingOrMisshapenCannotBeRead)
{
    for (const char* reply : {
             R"('{"jsonrpc":"2.0","id":2,"result":{"content":[]}}')",
             R"('{"jsonrpc":"2.0","id":2,"result":{"structuredContent":[]}}')",
             R"('{"jsonrpc":"2.0","id":2,"result":{"structuredContent":{}}}')",
             R"('{"jsonrpc":"2.0","id":2,"result":{"structuredContent":{"elements":{}}}}')",
             R"('{"jsonrpc":"2.0","id":2,"result":{"structuredContent":{"elements":[{},1]}}}')",
         }) {
        auto driver = writeDriver(answering(reply));
        EXPECT_EQ(failure([&] { DesktopDriver::inspect(5, options(driver)); }), DesktopDriver::kNoStructureMessage)
            << reply;
    }
}

TEST_F(DesktopDriverTest, AnEmptyElementsArrayCountsZero)
{
    auto driver
        = writeDriver(answering(R"('{"jsonrpc":"2.0","id":2,"result":{"structuredContent":{"elements":[]}}}')"));
    EXPECT_EQ(DesktopDriver::inspect(5, options(driver)), 0);
}

TEST_F(DesktopDriverTest, OutputFloodingWithoutALineFeedStopsAtTheCap)
{
    auto driver = writeDriver(R"(exec python3 -c '
import sys, time
chunk = b"a" * 1048576
for _ in range(17):
    sys.stdout.buffer.write(chunk)
sys.stdout.flush()
time.sleep(60)
'
)");
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(failure([&] { DesktopDriver::inspect(5, options(driver)); }), DesktopDriver::kTimeoutMessage);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s) << "failed by the watchdog, not by the cap";
}

TEST_F(DesktopDriverTest, ALargeReplyWithinTheCapIsRead)
{
    auto driver = writeDriver(std::string("IFS= read -r l\nprintf '%s\\n' ") + kInitReply + R"(
IFS= read -r l; IFS= read -r l
exec python3 -c '
import sys
sys.stdout.write("{\"jsonrpc\":\"2.0\",\"id\":2,\"result\":{\"structuredContent\":{\"elements\":[" + ",".join(["{\"name\":\"" + "x" * 100 + "\"}"] * 20000) + "]}}}\n")
sys.stdout.flush()
sys.stdin.read()
'
)");
    EXPECT_EQ(DesktopDriver::inspect(5, options(driver)), 20000);
}

TEST_F(DesktopDriverTest, AMissingOrUnstartableExecutableFails)
{
    EXPECT_EQ(
        failure([&] { DesktopDriver::inspect(5, options(folder_ / "absent")); }), DesktopDriver::kMissingDriverMessage);
    EXPECT_EQ(failure([&] { DesktopDriver::inspect(5, options(folder_)); }), DesktopDriver::kMissingDriverMessage);
    auto plain = folder_ / "not-executable";
    std::ofstream(plain) << "#!/bin/sh\n";
    fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(failure([&] { DesktopDriver::inspect(5, options(plain)); }), DesktopDriver::kStartFailedMessage);
}

TEST_F(DesktopDriverTest, TheProductLooksForTheDriverBesideTheExecutable)
{
    auto settings = DesktopDriver::defaultOptions();
    EXPECT_EQ(settings.executable.filename(), "cua-driver");
    EXPECT_EQ(settings.executable.parent_path().filename(), "resources");
    EXPECT_EQ(settings.watchdog, 15s);
    EXPECT_EQ(settings.pid, ::getpid());
    EXPECT_EQ(settings.bundleIdentifier, "com.vantorel.desktop");
}

TEST_F(DesktopDriverTest, CallsRunningAtOnceEachHaveTheirOwnDriver)
{
    auto driver = writeDriver(std::string("sleep 0.2\n")
        + answering(R"('{"jsonrpc":"2.0","id":2,"result":{"structuredContent":{"elements":[{},{},{},{}]}}}')"));
    std::vector<std::int64_t> counts(4, -1);
    std::vector<std::thread> callers;
    for (std::size_t i = 0; i < counts.size(); ++i)
        callers.emplace_back([&, i] { counts[i] = DesktopDriver::inspect(5, options(driver)); });
    for (auto& caller : callers)
        caller.join();
    EXPECT_EQ(counts, (std::vector<std::int64_t>(4, 4)));
}

}
}
