#include "service/LocalService.h"

#include "base/DesktopError.h"

namespace korvid {

LocalService::LocalService(const ServiceOptions& options)
    : store_(options.dataFolder, options.seed, options.config.passwordCost)
    , router_(store_, options.config)
{
    addWebRoutes(router_);
    addAccountRoutes(router_);
    addSalesRoutes(router_);
    addBriefRoutes(router_);
    addWechatRoutes(router_);

    // SO_REUSEADDR only: the library's default also sets SO_REUSEPORT, which
    // would let a second copy share a port that is already taken.
    server_.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // Headers and body go out in separate writes; without this Nagle's
    // algorithm holds the body until the client's delayed ACK (tens of ms).
    server_.set_tcp_nodelay(true);
    server_.set_payload_max_length(ServiceRouter::kMaxBodyBytes);
    server_.set_read_timeout(30);
    server_.set_write_timeout(30);
    auto dispatch = [this](const httplib::Request& request, httplib::Response& response) {
        router_.handle(request, response);
    };
    for (const char* pattern : {".*"}) {
        server_.Get(pattern, dispatch);
        server_.Post(pattern, dispatch);
        server_.Put(pattern, dispatch);
        server_.Patch(pattern, dispatch);
        server_.Delete(pattern, dispatch);
    }
    server_.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        ServiceRouter::fillLibraryError(response);
    });
    server_.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        ServiceRouter::sendError(response, 500, "internal", "服务内部出错，请稍后重试。");
    });
}

int LocalService::bind(int port)
{
    int bound = port == 0 ? server_.bind_to_any_port("127.0.0.1") : (server_.bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound <= 0)
        throw DesktopError("无法在 127.0.0.1 的端口 " + std::to_string(port) + " 上监听，端口可能已被占用。");
    return bound;
}

void LocalService::run()
{
    server_.listen_after_bind();
}

void LocalService::stop()
{
    server_.stop();
}

}
