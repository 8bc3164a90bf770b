// The account: sign-in and its challenge, "/v1/me", sign-out, and one-time
// download links for pages that cannot send a bearer token with a navigation.
#include "service/Accounts.h"
#include "service/ApiError.h"
#include "service/BodyFields.h"
#include "service/Database.h"
#include "service/Documents.h"
#include "service/ServiceRouter.h"
#include "service/ServiceStore.h"

#include <cstdio>

namespace korvid {

namespace {

Json accountJson(const Account& account)
{
    return Json {{"id", account.id}, {"email", account.email}, {"name", account.name}};
}

Json signIn(ApiRequest& request, Database& db)
{
    BodyFields fields(request.body);
    std::string email = *fields.text("email", 254, true, 1);
    std::string password = *fields.text("password", 256, true, 1);
    auto ticket = fields.text("ticket", 128);
    std::string token = Accounts::signIn(db, email, password, ticket, request.nowMs,
        request.config.tokenLifetimeMs);
    auto account = Accounts::authenticate(db, token, request.nowMs);
    return Json {{"token", token}, {"expiresAt", formatMillis(request.nowMs + request.config.tokenLifetimeMs)},
        {"account", accountJson(*account)}};
}

std::string percentEncode(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_') {
            out.push_back(static_cast<char>(c));
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        }
    }
    return out;
}

void attachment(httplib::Response& response, const std::string& asciiName, const std::string& name,
    std::string content, const char* type)
{
    response.status = 200;
    response.set_header("Content-Disposition",
        "attachment; filename=\"" + asciiName + "\"; filename*=UTF-8''" + percentEncode(name));
    response.set_header("Cache-Control", "no-store");
    response.set_content(std::move(content), type);
}

std::string csvField(const std::string& text)
{
    // Quote every field; a leading formula character is defused for
    // spreadsheet programs, and so are a leading TAB and CR, after which
    // some of them still read the rest of the cell as a formula.
    std::string value = text;
    if (!value.empty() && std::string_view("=+-@\t\r").find(value[0]) != std::string_view::npos)
        value = "'" + value;
    std::string out = "\"";
    for (char c : value)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string libraryCsv(Database& db)
{
    std::string csv = "\xEF\xBB\xBF企业名称,城市,行业,类型,目标客户,联系人数\r\n";
    Statement query(db,
        "SELECT name, city, industry, kind, is_target, "
        "(SELECT count(*) FROM contacts WHERE company_id = companies.id AND deleted = 0) "
        "FROM companies WHERE deleted = 0 ORDER BY id");
    while (query.step()) {
        std::string kind = query.text(3);
        std::string kindLabel = kind == "customer" ? "客户" : kind == "partner" ? "伙伴" : "潜在客户";
        csv += csvField(query.text(0)) + "," + csvField(query.text(1)) + "," + csvField(query.text(2))
            + "," + csvField(kindLabel) + "," + (query.integer(4) ? "是" : "否") + ","
            + std::to_string(query.integer(5)) + "\r\n";
    }
    return csv;
}

Json issueDownload(ApiRequest& request, Database& db)
{
    BodyFields fields(request.body);
    std::string kind = *fields.text("kind", 20, true);
    std::string ref;
    if (kind == "delivery") {
        ref = *fields.uuid("id", true);
        if (!Documents::get(db, "delivery", ref))
            throw recordNotFound();
    } else if (kind != "library") {
        throw BodyFields::invalid("kind");
    }
    std::string ticket = Accounts::issueDownload(db, request.user().id, kind, ref, request.nowMs);
    return Json {{"url", "/downloads/" + ticket}};
}

Json download(ApiRequest& request, Database& db)
{
    auto found = Accounts::redeemDownload(db, request.params[0], request.nowMs);
    if (!found)
        throw ApiError(404, "download_expired", "下载链接已失效，请重新下载。");
    if (found->first == "library") {
        attachment(request.response, "korvid-library.csv", "客户名录.csv", libraryCsv(db),
            "text/csv; charset=utf-8");
    } else {
        auto delivery = Documents::get(db, "delivery", found->second);
        if (!delivery)
            throw recordNotFound();
        std::string title = delivery->value("title", "交付物");
        attachment(request.response, "korvid-delivery.txt", title + ".txt",
            title + "\r\n\r\n" + delivery->value("content", ""), "text/plain; charset=utf-8");
    }
    return nullptr;
}

}

void addAccountRoutes(ServiceRouter& router)
{
    using R = ServiceRouter;
    router.add("POST", "/auth/sign-in", signIn, R::Public | R::NoTransaction);
    router.add("GET", "/auth/challenge", [](ApiRequest& request, Database& db) {
        return Accounts::newChallenge(db, request.nowMs);
    }, R::Public);
    router.add("POST", "/auth/challenge", [](ApiRequest& request, Database& db) {
        BodyFields fields(request.body);
        std::string id = *fields.text("id", 64, true, 1);
        std::string answer = *fields.text("answer", 16, true);
        return Json {{"ticket", Accounts::solveChallenge(db, id, answer, request.nowMs)}};
    }, R::Public | R::NoTransaction);

    router.add("GET", "/v1/me", [](ApiRequest& request, Database&) { return accountJson(request.user()); });
    router.add("PUT", "/v1/me", [](ApiRequest& request, Database& db) {
        std::string name = *BodyFields(request.body).text("name", 40, true, 1);
        Accounts::rename(db, request.user().id, name);
        Account account = request.user();
        account.name = name;
        return accountJson(account);
    });
    router.add("POST", "/v1/sign-out", [](ApiRequest& request, Database& db) {
        Accounts::revoke(db, request.http.get_header_value("Authorization").substr(7));
        return Json {{"ok", true}};
    }, R::NoBody);
    router.add("POST", "/v1/downloads", issueDownload);
    router.add("GET", "/downloads/{}", download, R::Public | R::Raw);
}

}
