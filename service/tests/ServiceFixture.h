#pragma once

#include "base/Json.h"
#include "service/LocalService.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace korvid::test {

struct Reply {
    int status = 0;
    Json body;
    httplib::Headers headers;
    std::string raw;

    std::string code() const { return body.is_object() ? body.value("code", "") : ""; }
    std::string message() const { return body.is_object() ? body.value("message", "") : ""; }
    std::string header(const char* name) const;
};

// A temporary folder removed when the value goes.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The real service on a free loopback port, on its own thread, with a fresh
// database; requests go over real HTTP.
class RunningService {
public:
    explicit RunningService(ServiceOptions options);
    ~RunningService();

    int port() const { return port_; }
    std::string url(const std::string& path) const;

    Reply send(const std::string& method, const std::string& path, const std::string& token,
        const std::optional<std::string>& body = std::nullopt, httplib::Headers extra = {},
        const std::string& contentType = "application/json");
    Reply get(const std::string& path, const std::string& token) { return send("GET", path, token); }
    Reply post(const std::string& path, const std::string& token, const Json& body, httplib::Headers extra = {})
    {
        return send("POST", path, token, body.dump(), std::move(extra));
    }
    Reply put(const std::string& path, const std::string& token, const Json& body)
    {
        return send("PUT", path, token, body.dump());
    }
    Reply patch(const std::string& path, const std::string& token, const Json& body)
    {
        return send("PATCH", path, token, body.dump());
    }

    std::string signIn(const std::string& email = "demo@korvid.cn", const std::string& password = "korvid123");

private:
    std::unique_ptr<LocalService> service_;
    std::thread thread_;
    int port_ = 0;
};

class ServiceTest : public ::testing::Test {
public:
    static ServiceOptions options(const std::filesystem::path& folder, std::int64_t briefStepMs = 150);

protected:
    void SetUp() override;
    void TearDown() override;

    std::unique_ptr<ScratchFolder> scratch;
    std::unique_ptr<RunningService> service;
    std::string token;
};

inline const std::string kDemoID = "00000001-0000-4000-8000-000000000001";

}
