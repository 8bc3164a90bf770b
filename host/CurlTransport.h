#pragma once

#include "host/HttpTransport.h"
#include "base/MainLoop.h"

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace korvid {

// HttpTransport on libcurl: one transport thread drives a multi handle, so
// several requests run at once and connections to the service are reused.
// No redirects, no cookie engine, no cache; http and https only.
// Requests still in flight when the transport is destroyed are abandoned:
// their `done` is never called.
class CurlTransport final : public HttpTransport {
public:
    CurlTransport();
    ~CurlTransport() override;
    CurlTransport(const CurlTransport&) = delete;
    CurlTransport& operator=(const CurlTransport&) = delete;

    void send(HttpRequest request, std::function<void(HttpResult)> done) override;

    struct Transfer; // one request in flight

    // Responses larger than this fail instead of exhausting memory.
    static constexpr std::size_t kResponseLimit = 64u << 20;

    // The pieces both transports share, on a transfer's easy handle.
    static std::optional<std::string> unsafeHeaders(const HttpRequest& request);
    static void configure(void* easy, Transfer& transfer);
    static HttpResult result(void* easy, int code, Transfer& transfer);

private:
    void run();
    void start(std::unique_ptr<Transfer> transfer);
    void finish(void* easy, int code);

    void* multi_ = nullptr;
    std::mutex mutex_;
    std::deque<std::unique_ptr<Transfer>> incoming_;
    bool stopping_ = false;
    // Owned by the transport thread only.
    std::vector<std::unique_ptr<Transfer>> running_;
    std::vector<void*> idleHandles_;
    std::thread thread_;
};

// The same transport driven from the main loop itself: libcurl's multi
// interface with the loop watching its sockets and keeping its timer, so a
// request costs no hand-off between threads. `send` is called, and `done`
// calls back, on the main thread only, never from inside `send`; a request
// sent from any other thread is failed at once on that thread, unsent, since
// the loop's state is not shared between threads.
// The transport must outlive no loop it was given; it must not be destroyed
// from inside a `done`. Requests still in flight when it is destroyed are
// abandoned (their `done` is dropped uncalled), and every handle, watch and
// timer it holds is released.
class CurlLoopTransport final : public HttpTransport {
public:
    explicit CurlLoopTransport(MainLoop& loop);
    ~CurlLoopTransport() override;
    CurlLoopTransport(const CurlLoopTransport&) = delete;
    CurlLoopTransport& operator=(const CurlLoopTransport&) = delete;

    void send(HttpRequest request, std::function<void(HttpResult)> done) override;

private:
    using Transfer = CurlTransport::Transfer;
    using Clock = std::chrono::steady_clock;

    static int onSocket(void* easy, int fd, int what, void* self, void* socketData);
    static int onTimer(void* multi, long delayMs, void* self);
    void act(int fd, unsigned ready);
    void collect();
    void finish(void* easy, int code);
    void start();
    void setCurlTimer(long delayMs);
    void refuse(std::function<void(HttpResult)> done, std::string error);
    void armLater();
    void answerLater();
    void watchSilence(Clock::time_point deadline);
    void endSilent();

    MainLoop& loop_;
    std::thread::id owner_ = std::this_thread::get_id();
    void* multi_ = nullptr;
    std::vector<std::unique_ptr<Transfer>> running_;
    std::vector<void*> idleHandles_;
    std::unordered_map<int, FdWatch> sockets_;
    TimerHandle curlTimer_;
    // One timer for the idle limits of all transfers, set for the earliest.
    TimerHandle silenceTimer_;
    std::optional<Clock::time_point> silenceCheck_;
    // While `send` starts a transfer, curl's timer requests are kept here and
    // set once it has.
    bool starting_ = false;
    std::optional<long> startTimer_;
    // Answered on the loop's next turn, never from inside `send`: requests
    // refused before they were sent, and transfers that ended as they started.
    std::vector<std::pair<std::function<void(HttpResult)>, HttpResult>> refused_;
    std::vector<std::pair<void*, int>> ended_;
    TimerHandle laterTimer_;
    bool laterPending_ = false;
    bool closing_ = false;
};

}
