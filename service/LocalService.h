#pragma once

#include "service/ServiceOptions.h"
#include "service/ServiceRouter.h"
#include "service/ServiceStore.h"

#include <httplib.h>

#include <memory>

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
    bool running() const { return server_.is_running(); }

private:
    ServiceStore store_;
    ServiceRouter router_;
    httplib::Server server_;
};

}
