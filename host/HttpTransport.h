#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvid {

struct HttpRequest {
    std::string method;
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers; // sent in this order
    std::optional<std::string> body;
    std::chrono::milliseconds timeout { 60000 };
};

struct HttpResult {
    long status = 0;  // 0 when no HTTP response arrived
    std::string body;
    std::optional<std::string> error; // a Chinese sentence when the transfer failed
};

// Carries one request to the service and back. `done` is called exactly once,
// on any thread; redirects are never followed and nothing (cookies, cache,
// credentials) is kept between requests.
class HttpTransport {
public:
    virtual ~HttpTransport() = default;
    virtual void send(HttpRequest request, std::function<void(HttpResult)> done) = 0;
};

}
