#pragma once

#include "service/HttpServer.h"
#include "service/ServiceOptions.h"
#include "service/ServiceRouter.h"
#include "service/ServiceStore.h"

#include <httplib.h>

#include <atomic>
#include <string>

namespace korvid {

// The whole service: the store, the route table and the HTTP server on
// 127.0.0.1. bind() then run() (blocking) until stop() from any thread.
class LocalService {
public:
    explicit LocalService(const ServiceOptions& options);

    // The bound port (a free one for port 0). Throws DesktopError.
    int bind(int port);
    void run();
    // Stops a running server; does nothing before run() has started
    // listening (see running()).
    void stop();
    bool running() const { return server_.running(); }

    // Whether a Host header names this service: a loopback name with the
    // port it listens on. A page on another name that resolves here (DNS
    // rebinding) sends its own name and is refused.
    static bool isOwnHost(const std::string& host, int port);

private:
    int admit(const httplib::Request& request) const;

    ServiceStore store_;
    ServiceRouter router_;
    HttpServer server_;
    std::atomic<int> port_ { 0 };
};

}
