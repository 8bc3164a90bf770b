#pragma once

#include "service/HttpServer.h"
#include "service/ServiceRouter.h"
#include "service/ServiceStore.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace korvid {

struct ServiceOptions {
    int port = 8787;
    std::filesystem::path dataFolder;
    ServiceConfig config;
    SeedSize seed;
    HttpLimits http;

    // $XDG_DATA_HOME/korvid-service, or ~/.local/share/korvid-service.
    static std::filesystem::path defaultDataFolder();
    // Throws DesktopError with the reason for a bad command line.
    static ServiceOptions parse(const std::vector<std::string>& arguments);
    static const char* usage();
};

}
