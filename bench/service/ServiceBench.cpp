// GET "/v1/me" and a full directory read of 2,000 companies and 5,000
// contacts (unchanged since the last read, and just changed), each against
// the peer: GET of the static style sheet from the
// same server over the same kept-alive loopback connection.
#include "service/LocalService.h"

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

namespace {

using namespace korvid;

struct Running {
    std::filesystem::path folder;
    std::unique_ptr<LocalService> service;
    std::thread thread;
    int port = 0;
    std::string token;

    Running()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "korvid-bench-XXXXXX").string();
        folder = mkdtemp(pattern.data());
        ServiceOptions options;
        options.dataFolder = folder;
        options.seed = SeedSize { 2000, 5000 };
        service = std::make_unique<LocalService>(options);
        port = service->bind(0);
        thread = std::thread([this] { service->run(); });
        httplib::Client client("127.0.0.1", port);
        auto reply
            = client.Post("/auth/sign-in", R"({"email":"demo@korvid.cn","password":"korvid123"})", "application/json");
        token = Json::parse(reply->body)["token"];
    }

    ~Running()
    {
        service->stop();
        thread.join();
        std::filesystem::remove_all(folder);
    }
};

Running& running()
{
    static Running instance;
    return instance;
}

void fetch(benchmark::State& state, const std::string& path, bool api, bool changeFirst = false)
{
    Running& r = running();
    httplib::Client client("127.0.0.1", r.port);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    httplib::Headers headers;
    if (api)
        headers = { { "Authorization", "Bearer " + r.token }, { "x-korvid-privacy-version", "2" } };
    std::size_t bytes = 0;
    int round = 0;
    for (auto _ : state) {
        if (changeFirst) {
            // A write between reads, so the directory is written afresh.
            state.PauseTiming();
            std::string body = "{\"introNote\":\"第 " + std::to_string(++round) + " 次更新\"}";
            client.Put("/v1/companies/00000002-0000-4000-8000-000000000001", headers, body, "application/json");
            state.ResumeTiming();
        }
        auto reply = client.Get(path, headers);
        if (!reply || reply->status != 200) {
            state.SkipWithError("request failed");
            break;
        }
        bytes += reply->body.size();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void StaticStyleSheet(benchmark::State& state)
{
    fetch(state, "/style.css", false);
}
void Me(benchmark::State& state)
{
    fetch(state, "/v1/me", true);
}
void Directory(benchmark::State& state)
{
    fetch(state, "/v1/library?view=directory", true);
}
void DirectoryAfterChange(benchmark::State& state)
{
    fetch(state, "/v1/library?view=directory", true, true);
}
void DirectorySinceNow(benchmark::State& state)
{
    fetch(state, "/v1/library?view=directory&since=2099-01-01T00:00:00.000Z", true);
}

BENCHMARK(StaticStyleSheet)->Unit(benchmark::kMicrosecond)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(Me)->Unit(benchmark::kMicrosecond)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(Directory)->Unit(benchmark::kMillisecond)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(DirectoryAfterChange)->Unit(benchmark::kMillisecond)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(DirectorySinceNow)->Unit(benchmark::kMicrosecond)->Repetitions(9)->ReportAggregatesOnly(true);

}

BENCHMARK_MAIN();
