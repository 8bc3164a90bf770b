#pragma once

// What the tools that start their own korvid-service share: the program on a
// free port, the measured client's sign-in, and one line on stderr when a
// run fails.
#include "service/tests/Loopback.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

namespace korvid::bench {

using Service = loopback::ListeningService;

// The measured client is the first demo account.
constexpr const char* kDemoSignIn = R"({"email":"demo@korvid.cn","password":"korvid123"})";

// A session token of the first demo account.
inline std::string signIn(int port)
{
    httplib::Client client("127.0.0.1", port);
    auto reply = client.Post("/auth/sign-in", kDemoSignIn, "application/json");
    if (!reply || reply->status != 200)
        throw std::runtime_error("sign-in failed");
    return nlohmann::json::parse(reply->body)["token"];
}

// The tool's exit code: 0, or 1 with the failure on stderr under `label`.
template <typename Run> int runReportingFailure(const std::string& label, Run&& run)
{
    try {
        run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", label.c_str(), error.what());
        return 1;
    }
    return 0;
}

}
