// The service's own pages: the sign-in page at "/", the challenge, the web
// application at "/index.html", and the health probe.
#include "service/ApiError.h"
#include "service/ServiceRouter.h"
#include "service/WebAssets.h"

namespace korvid {

namespace {

ApiHandler asset(const char* name, const char* type)
{
    return [name, type](ApiRequest& request, Database&) -> Json {
        auto bytes = webAsset(name);
        if (!bytes)
            throw ApiError(404, "not_found", "没有这个地址");
        auto& response = request.response;
        response.set_header("Cache-Control", "no-cache");
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_header("X-Frame-Options", "SAMEORIGIN");
        response.set_content(std::string(*bytes), type);
        return nullptr;
    };
}

}

void addWebRoutes(ServiceRouter& router)
{
    constexpr int flags = ServiceRouter::Public | ServiceRouter::Raw;
    constexpr const char* html = "text/html; charset=utf-8";
    router.add("GET", "/", asset("signin.html", html), flags);
    router.add("GET", "/captcha", asset("captcha.html", html), flags);
    router.add("GET", "/index.html", asset("index.html", html), flags);
    router.add("GET", "/app.js", asset("app.js", "text/javascript; charset=utf-8"), flags);
    router.add("GET", "/style.css", asset("style.css", "text/css; charset=utf-8"), flags);
    router.add(
        "GET", "/healthz",
        [](ApiRequest& request, Database&) -> Json {
            request.response.set_content("ok", "text/plain; charset=utf-8");
            return nullptr;
        },
        flags);
}

}
