#include "service/LocalService.h"

#include "base/DesktopError.h"

#include <sys/stat.h>

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace korvid {

namespace {

// The data folder holds every account's password hash and sessions: only
// its owner may read it, also when an older version made it readable.
const std::filesystem::path& privateFolder(const std::filesystem::path& folder)
{
    std::filesystem::create_directories(folder);
    ::chmod(folder.c_str(), 0700);
    auto file = folder / ServiceStore::kFileName;
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
        ::fchmod(fd, 0600);
        ::close(fd);
    }
    for (const char* suffix : { "-wal", "-shm", "-journal" }) {
        auto companion = file;
        companion += suffix;
        ::chmod(companion.c_str(), 0600);
    }
    return folder;
}

std::string lower(std::string text)
{
    std::transform(
        text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}

LocalService::LocalService(const ServiceOptions& options)
    : store_(privateFolder(options.dataFolder), options.seed, options.config.passwordCost)
    , router_(store_, options.config)
    , server_(
          [this](const httplib::Request& request, httplib::Response& response) { router_.handle(request, response); },
          [this](const httplib::Request& request) { return admit(request); }, &ServiceRouter::fillLibraryError,
          options.http,
          // Signing in hashes a password on purpose slowly.
          [](const httplib::Request& request) { return request.path.rfind("/auth/sign-in", 0) == 0; })
{
    addWebRoutes(router_);
    addAccountRoutes(router_);
    addSalesRoutes(router_);
    addBriefRoutes(router_);
    addWechatRoutes(router_);
}

int LocalService::bind(int port)
{
    int bound = server_.bind("127.0.0.1", port);
    if (bound <= 0)
        throw DesktopError("无法在 127.0.0.1 的端口 " + std::to_string(port) + " 上监听，端口可能已被占用。");
    port_ = bound;
    return bound;
}

void LocalService::run()
{
    server_.run();
}

void LocalService::stop()
{
    server_.stop();
}

bool LocalService::isOwnHost(const std::string& host, int port)
{
    std::string name = lower(host);
    std::string portText = "80";
    std::size_t colon = name.rfind(':');
    if (colon != std::string::npos && name.find(']', colon) == std::string::npos) {
        portText = name.substr(colon + 1);
        name.resize(colon);
    }
    if (name != "127.0.0.1" && name != "localhost" && name != "[::1]")
        return false;
    return portText == std::to_string(port);
}

int LocalService::admit(const httplib::Request& request) const
{
    if (!isOwnHost(request.get_header_value("Host"), port_))
        return 421;
    // Signing in needs no token, so a page elsewhere could post the demo
    // password with a form or a "simple" cross-site request: those carry a
    // foreign Origin or cannot set this content type.
    if (request.path.rfind("/auth/", 0) == 0) {
        if (request.has_header("Origin")) {
            std::string origin = lower(request.get_header_value("Origin"));
            if (origin.rfind("http://", 0) != 0 || !isOwnHost(origin.substr(7), port_))
                return 403;
        }
        bool carriesBody = request.method == "POST" || request.method == "PUT" || request.method == "PATCH";
        if (carriesBody && lower(request.get_header_value("Content-Type")) != "application/json")
            return 415;
    }
    return 0;
}

}
