// Window inspection of a GTK 4 window of about 500 accessible elements,
// driver start included, against the bare driver start + initialize round
// trip. Run under a D-Bus session and an X server (bench/driver/run.sh).
#include "driver/AccessibilityStatus.h"
#include "driver/DesktopDriver.h"
#include "driver/DriverProcess.h"
#include "driver/DriverReplyReader.h"
#include "base/DesktopError.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using korvid::DriverProcess;

// 163 extra buttons: each is a flow-box cell, a button and its label.
constexpr int kExtraButtons = 163;

std::vector<std::string> environment()
{
    std::vector<std::string> result;
    for (char** entry = environ; *entry; ++entry)
        result.emplace_back(*entry);
    result.emplace_back("ASAN_OPTIONS=detect_leaks=0");
    return result;
}

struct Window {
    std::unique_ptr<DriverProcess> process;
    std::uint64_t id = 0;
};

Window& fixture()
{
    static Window window = [] {
        Window w;
        w.process = std::make_unique<DriverProcess>(
            KORVID_FIXTURE_WINDOW, std::vector<std::string> { std::to_string(kExtraButtons) }, environment());
        std::string output;
        auto deadline = DriverProcess::Clock::now() + 30s;
        while (output.find('\n') == std::string::npos
            && w.process->read(output, 256, deadline) == DriverProcess::ReadResult::data) {
        }
        if (output.rfind("xid ", 0) == 0)
            w.id = std::stoull(output.substr(4));
        return w;
    }();
    return window;
}

korvid::DesktopDriver::Options options()
{
    auto result = korvid::DesktopDriver::defaultOptions();
    result.executable = KORVID_CUA_DRIVER;
    result.pid = static_cast<std::int32_t>(fixture().process->pid());
    return result;
}

bool ready(benchmark::State& state)
{
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display || !korvid::accessibilityAvailable()) {
        state.SkipWithError("needs an X display and the accessibility bus (run bench/driver/run.sh)");
        return false;
    }
    if (fixture().id == 0) {
        state.SkipWithError("the fixture window did not start");
        return false;
    }
    // Wait until the window is registered, then warm it once.
    for (int attempt = 0; attempt < 100; ++attempt) {
        try {
            state.counters["elements"] = static_cast<double>(korvid::DesktopDriver::inspect(fixture().id, options()));
            return true;
        } catch (const korvid::DesktopError&) {
            std::this_thread::sleep_for(200ms);
        }
    }
    state.SkipWithError("the fixture window never became accessible");
    return false;
}

void BM_InspectWindowOf500Elements(benchmark::State& state)
{
    if (!ready(state))
        return;
    auto settings = options();
    for (auto _ : state)
        benchmark::DoNotOptimize(korvid::DesktopDriver::inspect(fixture().id, settings));
}

void BM_DriverStartAndInitialize(benchmark::State& state)
{
    if (!ready(state))
        return;
    auto arguments = korvid::DesktopDriver::launchArguments("com.vantorel.desktop");
    auto variables = environment();
    for (auto _ : state) {
        DriverProcess driver(KORVID_CUA_DRIVER, arguments, variables);
        auto deadline = DriverProcess::Clock::now() + 15s;
        korvid::DriverReplyReader replies(driver, deadline);
        driver.write("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"initialize\",\"params\":{}}\n", deadline);
        benchmark::DoNotOptimize(replies.resultFor(1));
    }
}

}

BENCHMARK(BM_InspectWindowOf500Elements)->Unit(benchmark::kMillisecond)->Iterations(5)->Repetitions(5);
BENCHMARK(BM_DriverStartAndInitialize)->Unit(benchmark::kMillisecond)->Iterations(5)->Repetitions(5);
BENCHMARK_MAIN();
