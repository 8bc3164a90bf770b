// A GET through DesktopHost::request against a bare libcurl GET (one reused
// easy handle, the cheapest way libcurl can do it), both to the same
// loopback server in the same run. The request layer runs as the application
// carries it (libcurl driven from the GLib main loop), as it did before (the
// transport on its own thread posting answers to the GLib loop), and with the
// transport thread handing answers to the tests' manual executor.
#include "host/CurlTransport.h"
#include "host/DesktopHost.h"
#include "platform/GLibExecutor.h"

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>

#include <thread>

namespace korvid {
namespace {

class PingServer {
public:
    PingServer()
    {
        server_.set_keep_alive_max_count(1 << 30);
        server_.set_tcp_nodelay(true);
        server_.Get("/v1/ping", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(R"({"ok":true,"items":[1,2,3],"name":"鸟"})", "application/json");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~PingServer()
    {
        server_.stop();
        thread_.join();
    }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
};

PingServer& server()
{
    static PingServer instance;
    return instance;
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user)
{
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

void BareCurlGet(benchmark::State& state)
{
    std::string url = server().origin() + "/v1/ping";
    CURL* easy = curl_easy_init();
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Authorization: Bearer token");
    headers = curl_slist_append(headers, "x-korvid-privacy-version: 2");
    std::string body;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
    for (auto _ : state) {
        body.clear();
        if (curl_easy_perform(easy) != CURLE_OK)
            state.SkipWithError("transfer failed");
        benchmark::DoNotOptimize(body);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
}

DesktopHostOptions hostOptions()
{
    DesktopHostOptions options;
    options.origin = server().origin();
    options.desktopPageURL = "file:///bench/Desktop.html";
    options.settingsPath = "/tmp/korvid-bench-settings.json";
    return options;
}

// One GET through the host; `waitFor(done)` turns the executor's loop until
// the answer has come.
template <typename WaitFor>
void requestOnce(benchmark::State& state, Executor& main, DesktopHost& host, WaitFor waitFor)
{
    bool done = false;
    bool failed = false;
    spawn(main, host.request("/v1/ping", "token"), [&](std::optional<Json> value, std::exception_ptr error) {
        done = true;
        failed = static_cast<bool>(error);
        benchmark::DoNotOptimize(value);
    });
    waitFor(done);
    if (failed)
        state.SkipWithError("request failed");
}

void HostRequestGet(benchmark::State& state)
{
    ManualExecutor main;
    auto host = std::make_unique<DesktopHost>(main, hostOptions());
    for (auto _ : state)
        requestOnce(state, main, *host, [&](const bool& done) { main.runUntil([&] { return done; }); });
    host.reset();
    main.runUntilIdle();
}

// On the GLib main loop as the application runs it: with libcurl driven by
// the loop itself, or (as before) with the transport on its own thread
// posting each answer back to the loop.
void onGLibLoop(benchmark::State& state, bool loopTransport)
{
    GMainContext* context = g_main_context_default();
    GLibExecutor main(context);
    DesktopHostOptions options = hostOptions();
    if (loopTransport)
        options.transport = std::make_shared<CurlLoopTransport>(main);
    auto host = std::make_unique<DesktopHost>(main, options);
    for (auto _ : state) {
        requestOnce(state, main, *host, [&](const bool& done) {
            while (!done)
                g_main_context_iteration(context, TRUE);
        });
    }
    host.reset();
    while (g_main_context_iteration(context, FALSE)) {
    }
}

void HostRequestGetOnMainLoop(benchmark::State& state)
{
    onGLibLoop(state, true);
}
void HostRequestGetThreadOnGLib(benchmark::State& state)
{
    onGLibLoop(state, false);
}

// Interleaved repetitions so all see the same machine conditions. CPU time
// is the whole process's (the loopback server, and the transport thread
// where there is one), which a busy machine inflates far less than wall time.
BENCHMARK(BareCurlGet)->MinTime(0.3)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(HostRequestGet)->MinTime(0.3)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(HostRequestGetOnMainLoop)->MinTime(0.3)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(HostRequestGetThreadOnGLib)->MinTime(0.3)->UseRealTime()->MeasureProcessCPUTime();

}
}

BENCHMARK_MAIN();
