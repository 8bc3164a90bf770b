#pragma once

#include "host/HttpTransport.h"

#include <deque>
#include <memory>
#include <mutex>
#include <thread>
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

}
