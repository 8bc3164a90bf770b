// Dispatch of a "sales" page message up to the hand-off to the transport:
// gate, dispatch task, guard, SalesEndpoint, URL, headers and body. The
// transport here is a recorder (the network is not what is measured); it
// answers at once so every message completes.
#include "host/DesktopBridge.h"
#include "host/DesktopHost.h"

#include <benchmark/benchmark.h>

#include <chrono>

namespace korvid {
namespace {

using Clock = std::chrono::steady_clock;

class HandOffRecorder final : public HttpTransport {
public:
    void send(HttpRequest request, std::function<void(HttpResult)> done) override
    {
        handedOff = Clock::now();
        benchmark::DoNotOptimize(request);
        done(HttpResult { 200, R"({"ok":true})", std::nullopt });
    }
    Clock::time_point handedOff;
};

class NullView final : public PageView {
public:
    void evaluateScript(const std::string&) override { }
    void callAsyncFunction(const std::string&, const Json&) override { }
    std::optional<std::uint64_t> windowID() const override { return std::nullopt; }
};

void SalesDispatch(benchmark::State& state, Json body)
{
    ManualExecutor main;
    auto recorder = std::make_shared<HandOffRecorder>();
    DesktopHostOptions options;
    options.origin = "https://app.korvid.cn";
    options.desktopPageURL = "file:///bench/Desktop.html";
    options.settingsPath = "/tmp/korvid-bench-settings.json";
    options.transport = recorder;
    auto host = std::make_unique<DesktopHost>(main, options);
    auto bridge = std::make_unique<DesktopBridge>(*host);
    auto view = std::make_shared<NullView>();
    host->setWorkspaceWeb(view);
    host->didAuthenticate({ "token-1", "account-1", "一号" });

    for (auto _ : state) {
        bool replied = false;
        BridgeMessage message;
        message.webView = view;
        message.isMainFrame = true;
        message.frameURL = "file:///bench/Desktop.html";
        message.body = body;
        message.reply = [&](std::optional<Json>, std::optional<std::string> error) {
            replied = true;
            if (error)
                state.SkipWithError(error->c_str());
        };
        auto start = Clock::now();
        bridge->receive(std::move(message));
        main.runUntilIdle();
        state.SetIterationTime(std::chrono::duration<double>(recorder->handedOff - start).count());
        if (!replied)
            state.SkipWithError("no reply");
    }
    bridge.reset();
    host.reset();
    main.runUntilIdle();
}

BENCHMARK_CAPTURE(SalesDispatch, followup,
    Json { { "op", "sales" }, { "owner", "account-1" }, { "action", "followup" },
        { "id", "0B0C8A6E-4D5F-4C4B-9A59-4F1F0C8E7D21" },
        { "body", { { "note", "下周二回访，带上报价单。" }, { "due", "2024-05-07" } } } })
    ->UseManualTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

BENCHMARK_CAPTURE(SalesDispatch, agentTurn,
    Json { { "op", "sales" }, { "owner", "account-1" }, { "action", "agentTurn" },
        { "id", "0B0C8A6E-4D5F-4C4B-9A59-4F1F0C8E7D21" }, { "turn", "AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE" },
        { "body", { { "message", "帮我整理这家公司的联系人。" } } } })
    ->UseManualTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}
}

BENCHMARK_MAIN();
