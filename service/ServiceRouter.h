#pragma once

#include "base/Json.h"
#include "service/Accounts.h"
#include "service/PasswordHash.h"

#include <httplib.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvid {

class Database;
class ServiceStore;

struct ServiceConfig {
    std::int64_t tokenLifetimeMs = 12LL * 3600 * 1000;
    std::int64_t briefStepMs = 1500;
    PasswordCost passwordCost;
};

// One request as a handler sees it: path parameters ("{}" segments, in
// order), the parsed JSON object body, the signed-in account.
struct ApiRequest {
    const httplib::Request& http;
    httplib::Response& response;
    const ServiceConfig& config;
    std::vector<std::string> params;
    Json body = Json::object();
    std::optional<Account> account;
    std::int64_t nowMs = 0;
    // Completes the reply after the lock is released and the write
    // committed, on a read-only connection: set by handlers whose replies
    // carry lists too long to read while every other request waits.
    std::function<Json(Database&, Json)> finish;

    const Account& user() const { return *account; }
    std::string header(const char* name) const { return http.get_header_value(name); }
};

using ApiHandler = std::function<Json(ApiRequest&, Database&)>;
// A handler that takes the store's lock itself, around its database work
// only, so slow work in between does not hold up every other request.
using UnlockedHandler = std::function<Json(ApiRequest&, ServiceStore&)>;

// The service's route table and the rules every request passes through:
// the not-found answer, methods, the privacy header and bearer token on
// "/v1/", JSON object bodies, one lock and transaction per request, and
// errors as {"code", "message"}.
class ServiceRouter {
public:
    enum Flags {
        Public = 1,        // no bearer token
        NoTransaction = 2, // the handler's writes must survive its refusal
        Raw = 4,           // the handler writes the response itself
        NoBody = 8,        // a POST without a JSON body
    };

    static constexpr std::size_t kMaxBodyBytes = 1 << 20;
    static constexpr int kMaxJsonDepth = 64;

    ServiceRouter(ServiceStore& store, ServiceConfig config);

    // `pattern` is a path whose "{}" segments match any one segment.
    void add(const std::string& method, const std::string& pattern, ApiHandler handler, int flags = 0);
    void addUnlocked(const std::string& method, const std::string& pattern, UnlockedHandler handler, int flags = 0);
    void handle(const httplib::Request& request, httplib::Response& response);

    const ServiceConfig& config() const { return config_; }

    static void sendJson(httplib::Response& response, int status, const Json& body);
    static void sendError(httplib::Response& response, int status, const std::string& code, const std::string& message);
    // Gives the server's own refusals (oversized bodies, bad request lines,
    // foreign hosts, headers too slow or too large) the same error object.
    static void fillLibraryError(httplib::Response& response);

private:
    struct Route {
        std::string method;
        std::vector<std::string> segments;
        ApiHandler handler;
        int flags;
        UnlockedHandler unlocked = nullptr;
    };

    static bool matches(const Route& route, const std::vector<std::string>& segments, std::vector<std::string>& params);
    void run(const Route& route, ApiRequest& request);
    static void readBody(ApiRequest& request);

    ServiceStore& store_;
    ServiceConfig config_;
    std::vector<Route> routes_;
};

void addWebRoutes(ServiceRouter& router);
void addAccountRoutes(ServiceRouter& router);
void addSalesRoutes(ServiceRouter& router);
void addBriefRoutes(ServiceRouter& router);
void addWechatRoutes(ServiceRouter& router);

}
