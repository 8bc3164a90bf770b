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
    // The longest the connection may stay silent (connecting, waiting for the
    // answer, or between two bytes of it) before the request fails.
    std::chrono::milliseconds timeout { 60000 };
    // The longest the whole transfer may take, however steadily bytes arrive.
    std::chrono::milliseconds totalTimeout { 600000 };
};

struct HttpResult {
    long status = 0; // 0 when no HTTP response arrived
    std::string body;
    std::optional<std::string> error; // a Chinese sentence when the transfer failed
};

// Carries one request to the service and back. `done` is called exactly once,
// on any thread; redirects are never followed and nothing (cookies, cache,
// credentials) is kept between requests. A header name or value holding a
// line break or NUL is never sent: the request fails instead.
class HttpTransport {
public:
    virtual ~HttpTransport() = default;
    virtual void send(HttpRequest request, std::function<void(HttpResult)> done) = 0;
};

}
