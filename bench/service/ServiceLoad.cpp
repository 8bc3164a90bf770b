// korvid_service_load: drives a running korvid-service on 127.0.0.1 and
// prints one table row per measure: requests a second and p99 of one normal
// client (GET /v1/me on a kept-alive connection) alone, beside 12 clients
// sending their headers a byte at a time, and beside a flood of sign-ins;
// then the service's resident memory before and after 4 connections offer
// 100 MB of header lines each. Talks raw HTTP/1.1 over sockets so that any
// build of the service can be measured, old or new.
//
//   korvid_service_load --port N --pid PID [--seconds N] [--label TEXT]
#include "service/tests/Loopback.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace loopback = korvid::loopback;
using loopback::Clock;
using std::chrono::milliseconds;

int port = 0;

std::string host()
{
    return "127.0.0.1:" + std::to_string(port);
}

int connectTo()
{
    return loopback::connectTo(port, true);
}

// One kept-alive client: a whole reply (status and body) or nothing when
// the reply does not come within `timeout`.
class Client {
public:
    ~Client() { reset(); }

    std::optional<std::pair<int, std::string>> request(const std::string& text, milliseconds timeout)
    {
        auto deadline = Clock::now() + timeout;
        if (fd_ < 0 && (fd_ = connectTo()) < 0)
            return std::nullopt;
        if (!loopback::sendAll(fd_, text)) {
            reset();
            return std::nullopt;
        }
        std::string in;
        for (;;) {
            auto end = in.find("\r\n\r\n");
            if (end != std::string::npos) {
                std::size_t length = 0;
                auto at = in.find("Content-Length: ");
                if (at == std::string::npos)
                    at = in.find("content-length: ");
                if (at != std::string::npos && at < end)
                    length = std::stoul(in.substr(at + 16));
                if (in.size() >= end + 4 + length) {
                    int status = loopback::statusOf(in);
                    if (in.find("Connection: close") < end || in.find("connection: close") < end)
                        reset();
                    return std::make_pair(status, in.substr(end + 4, length));
                }
            }
            if (!loopback::receiveSome(fd_, in, deadline)) {
                reset();
                return std::nullopt;
            }
        }
    }

private:
    void reset()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    int fd_ = -1;
};

// The measured client is the first demo account; floods sign in as the
// second, so that pruning the flood's own sessions never touches the
// measured client's token.
std::string signInRequest(bool second = false)
{
    std::string body = second ? R"({"email":"sales2@korvid.cn","password":"korvid456"})"
                              : R"({"email":"demo@korvid.cn","password":"korvid123"})";
    return "POST /auth/sign-in HTTP/1.1\r\nHost: " + host()
        + "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string signIn()
{
    Client client;
    auto reply = client.request(signInRequest(), milliseconds(10000));
    if (!reply || reply->first != 200)
        return "";
    auto at = reply->second.find("\"token\":\"");
    return at == std::string::npos ? "" : reply->second.substr(at + 9, reply->second.find('"', at + 9) - at - 9);
}

struct Figures {
    double perSecond = 0;
    double p99Ms = 0;
    int failed = 0;
    int lastFailure = 0; // the status of the last failed request (0: no reply in time)
};

// The normal client: GET /v1/me in a loop for `seconds`; a request with no
// reply in 2 s counts as failed.
Figures measure(const std::string& token, int seconds)
{
    std::string request = "GET /v1/me HTTP/1.1\r\nHost: " + host() + "\r\nAuthorization: Bearer " + token
        + "\r\nx-korvid-privacy-version: 2\r\n\r\n";
    Client client;
    std::vector<double> took;
    Figures figures;
    auto started = Clock::now();
    auto until = started + std::chrono::seconds(seconds);
    while (Clock::now() < until) {
        auto begin = Clock::now();
        auto reply = client.request(request, milliseconds(2000));
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
        if (!reply || reply->first != 200) {
            ++figures.failed;
            figures.lastFailure = reply ? reply->first : 0;
        } else
            took.push_back(ms);
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    figures.perSecond = took.size() / elapsed;
    if (!took.empty()) {
        std::sort(took.begin(), took.end());
        figures.p99Ms = took[std::min(took.size() - 1, took.size() * 99 / 100)];
    }
    return figures;
}

void row(const std::string& label, const char* measure, const Figures& f, const std::string& note = "")
{
    std::string failures = std::to_string(f.failed);
    if (f.failed)
        failures += f.lastFailure ? " (last " + std::to_string(f.lastFailure) + ")" : " (no reply in 2 s)";
    std::printf("%s | %s | %.0f | %.2f | %s | %s\n", label.c_str(), measure, f.perSecond, f.p99Ms, failures.c_str(),
        note.c_str());
    std::fflush(stdout);
}

}

int main(int argc, char** argv)
{
    int pid = 0;
    int seconds = 5;
    std::string label = "service";
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--port")
            port = std::atoi(argv[i + 1]);
        else if (option == "--pid")
            pid = std::atoi(argv[i + 1]);
        else if (option == "--seconds")
            seconds = std::atoi(argv[i + 1]);
        else if (option == "--label")
            label = argv[i + 1];
    }
    if (port <= 0) {
        std::fprintf(stderr, "usage: korvid_service_load --port N --pid PID [--seconds N] [--label TEXT]\n");
        return 2;
    }
    std::string token = signIn();
    if (token.empty()) {
        std::fprintf(stderr, "%s: sign-in failed\n", label.c_str());
        return 1;
    }

    row(label, "normal client alone", measure(token, seconds));

    {
        // Twelve clients trickling their headers a byte every 100 ms; each
        // starts over on a new connection when the service drops it.
        std::atomic<bool> stop { false };
        std::vector<std::thread> slow;
        for (int i = 0; i < 12; ++i)
            slow.emplace_back([&] {
                std::string request
                    = "GET /v1/me HTTP/1.1\r\nHost: " + host() + "\r\nX-Slow: " + std::string(4000, 's') + "\r\n\r\n";
                while (!stop) {
                    int fd = connectTo();
                    for (std::size_t at = 0; fd >= 0 && at < request.size() && !stop; ++at) {
                        if (!loopback::sendAll(fd, request.substr(at, 1)))
                            break;
                        std::this_thread::sleep_for(milliseconds(100));
                    }
                    if (fd >= 0)
                        close(fd);
                }
            });
        std::this_thread::sleep_for(milliseconds(500));
        Figures figures = measure(token, seconds);
        stop = true;
        for (auto& thread : slow)
            thread.join();
        row(label, "beside 12 slow clients", figures);
    }

    {
        // Eight clients signing in back to back with the right password.
        std::atomic<bool> stop { false };
        std::atomic<long> signIns { 0 }, refused { 0 };
        std::vector<std::thread> flood;
        for (int i = 0; i < 8; ++i)
            flood.emplace_back([&] {
                Client client;
                std::string request = signInRequest(true);
                while (!stop) {
                    auto reply = client.request(request, milliseconds(5000));
                    if (reply && reply->first == 200)
                        ++signIns;
                    else
                        ++refused;
                }
            });
        std::this_thread::sleep_for(milliseconds(300));
        Figures figures = measure(token, seconds);
        stop = true;
        for (auto& thread : flood)
            thread.join();
        row(label, "beside a sign-in flood", figures,
            std::to_string(signIns.load()) + " sign-ins, " + std::to_string(refused.load()) + " refused or slowed");
    }

    if (pid > 0) {
        // Four connections offering 100 MB of header lines each.
        std::int64_t before = loopback::residentKiB(pid);
        std::vector<std::thread> floods;
        std::atomic<long long> accepted { 0 };
        for (int i = 0; i < 4; ++i)
            floods.emplace_back([&] {
                int fd = connectTo();
                if (fd < 0)
                    return;
                std::string block;
                for (int j = 0; j < 100; ++j)
                    block += "X-Flood-" + std::to_string(j) + ": " + std::string(1000, 'f') + "\r\n";
                loopback::sendAll(fd, "GET /healthz HTTP/1.1\r\nHost: " + host() + "\r\n");
                long long sent = 0;
                while (sent < 100LL * 1024 * 1024 && loopback::sendAll(fd, block))
                    sent += static_cast<long long>(block.size());
                accepted += sent;
                close(fd);
            });
        for (auto& thread : floods)
            thread.join();
        std::this_thread::sleep_for(milliseconds(500));
        std::int64_t after = loopback::residentKiB(pid);
        std::printf("%s | RSS after 4 x 100 MB header flood | - | - | - | %.0f MB before, %.0f MB after; %.0f MB of "
                    "headers taken\n",
            label.c_str(), before / 1024.0, after / 1024.0, accepted.load() / 1048576.0);
        Figures after1 = measure(token, 1);
        row(label, "normal client after the flood", after1);
    }
    return 0;
}
