// What a flood of sign-ins costs everyone else, for any build of
// korvid-service (the tool starts the program and drives it over loopback
// HTTP): one client reading GET /v1/me alone, then the same client beside
// threads that sign in as fast as they are answered, and the sign-ins those
// threads got through. The reads alone are the peer the flood is compared
// with, in the same run.
//
//   korvid_service_signin --binary PATH --label TEXT [--seconds N] [--threads N]
//
// Prints table rows: label | measure | median ms | p99 ms | per second | note.
#include "bench/service/ServiceTool.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using korvid::bench::Service;
using korvid::bench::signIn;

struct Options {
    std::string binary;
    std::string label = "service";
    double seconds = 5;
    int threads = 8;
};

constexpr const char* kFlooder = R"({"email":"sales2@korvid.cn","password":"korvid456"})";

double quantile(std::vector<double> values, double q)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))];
}

struct Reads {
    std::vector<double> ms;
    int failed = 0;
};

// The desktop's kind of request: one kept connection, a read every 10 ms.
Reads readMe(int port, const std::string& token, double seconds)
{
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    client.set_read_timeout(30);
    httplib::Headers headers { { "Authorization", "Bearer " + token }, { "x-korvid-privacy-version", "2" } };
    Reads reads;
    auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < until) {
        auto start = Clock::now();
        auto reply = client.Get("/v1/me", headers);
        reads.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (!reply || reply->status != 200)
            ++reads.failed;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return reads;
}

void row(const Options& options, const std::string& measure, double median, double p99, double perSecond, int failed,
    const std::string& note)
{
    std::printf("%s | %s | %.2f | %.2f | %.1f | %d | %s\n", options.label.c_str(), measure.c_str(), median, p99,
        perSecond, failed, note.c_str());
    std::fflush(stdout);
}

void run(const Options& options)
{
    char pattern[] = "/tmp/korvid-signin-bench-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("mkdtemp");
    std::filesystem::path folder = pattern;
    {
        Service service(options.binary, folder / "data");
        std::string token = signIn(service.port());

        Reads alone = readMe(service.port(), token, options.seconds);
        double aloneP99 = quantile(alone.ms, 0.99);
        row(options, "GET /v1/me alone", quantile(alone.ms, 0.5), aloneP99, alone.ms.size() / options.seconds,
            alone.failed, "the peer");

        std::atomic<bool> stop = false;
        std::atomic<int> accepted = 0, busy = 0, refused = 0;
        std::vector<std::thread> flood;
        for (int i = 0; i < options.threads; ++i) {
            flood.emplace_back([&] {
                while (!stop) {
                    // A new connection each time, as a script would.
                    httplib::Client client("127.0.0.1", service.port());
                    client.set_read_timeout(60);
                    auto reply = client.Post("/auth/sign-in", kFlooder, "application/json");
                    if (reply && reply->status == 200)
                        ++accepted;
                    else if (reply && (reply->status == 503 || reply->status == 429))
                        ++busy;
                    else
                        ++refused;
                }
            });
        }
        auto started = Clock::now();
        Reads beside = readMe(service.port(), token, options.seconds);
        stop = true;
        for (auto& thread : flood)
            thread.join();
        double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
        double besideP99 = quantile(beside.ms, 0.99);
        char note[160];
        std::snprintf(note, sizeof note, "beside %d signing-in threads: p99 %.1fx alone", options.threads,
            aloneP99 > 0 ? besideP99 / aloneP99 : 0.0);
        row(options, "GET /v1/me in a sign-in flood", quantile(beside.ms, 0.5), besideP99,
            beside.ms.size() / options.seconds, beside.failed, note);
        std::snprintf(note, sizeof note, "%.1f/s told to come back (503/429)", busy / elapsed);
        row(options, "sign-ins accepted in the flood", 0, 0, accepted / elapsed, refused, note);
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

}

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        std::string value = argv[i + 1];
        if (name == "--binary")
            options.binary = value;
        else if (name == "--label")
            options.label = value;
        else if (name == "--seconds")
            options.seconds = std::stod(value);
        else if (name == "--threads")
            options.threads = std::stoi(value);
        else {
            std::fprintf(stderr, "unknown option %s\n", name.c_str());
            return 2;
        }
    }
    if (options.binary.empty()) {
        std::fprintf(stderr, "usage: korvid_service_signin --binary PATH --label TEXT [--seconds N] [--threads N]\n");
        return 2;
    }
    return korvid::bench::runReportingFailure(options.label, [&] { run(options); });
}
