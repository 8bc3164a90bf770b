// The account: sign-in and its challenge, "/v1/me", sign-out, and one-time
// download links for pages that cannot send a bearer token with a navigation.
#include "service/Accounts.h"
#include "service/ApiError.h"
#include "service/BodyFields.h"
#include "service/Database.h"
#include "service/Documents.h"
#include "service/HashingPool.h"
#include "service/PasswordHash.h"
#include "service/ServiceRouter.h"
#include "service/ServiceStore.h"
#include "service/SignInThrottle.h"

#include <cstdio>
#include <memory>
#include <unordered_set>

namespace korvid {

namespace {

Json accountJson(const Account& account)
{
    return Json { { "id", account.id }, { "email", account.email }, { "name", account.name } };
}

// Sign-in runs in three steps so that the slow hash never holds the store's
// lock: look up under the lock, hash on the pool, write under the lock.
class SignIns {
public:
    explicit SignIns(const PasswordCost& cost)
        : cost_(cost)
        , decoy_ { "argon2id$m=" + std::to_string(cost.memoryKiB) + ",t=" + std::to_string(cost.passes) + ",p=1$"
                + std::string(32, '0'),
            std::string(64, '0') }
        , pool_(kHashingThreads, kWaitingHashes)
    {
    }

    Json signIn(ApiRequest& request, ServiceStore& store)
    {
        BodyFields fields(request.body);
        std::string email = *fields.text("email", 254, true, 1);
        std::string password = *fields.text("password", 256, true, 1);
        auto ticket = fields.text("ticket", 128);
        // On loopback every client has the same address; the port tells
        // connections apart.
        std::string connection = request.http.remote_port > 0
            ? request.http.remote_addr + ":" + std::to_string(request.http.remote_port)
            : std::string();

        refuseIfWaiting(request, throttle_.waitMs(connection, request.nowMs));
        SignInAttempt attempt = store.locked([&](Database& db) {
            return Accounts::beginSignIn(db, email, ticket, request.nowMs,
                [this](const std::string& account) { return pending_.insert(account).second; });
        });
        // Given back on every path, once the outcome is written (or not).
        struct GiveBack {
            SignIns& owner;
            ServiceStore& store;
            const SignInAttempt& attempt;
            ~GiveBack()
            {
                if (attempt.claimed)
                    store.locked([&](Database&) { owner.pending_.erase(attempt.email); });
            }
        } giveBack { *this, store, attempt };
        refuseIfWaiting(request, attempt.waitMs);

        StoredPassword stored = attempt.stored.value_or(decoy_);
        Checked checked;
        try {
            checked = pool_.run([&] {
                Checked outcome { PasswordHash::matches(password, stored) && attempt.stored.has_value() };
                if (outcome.matched && PasswordHash::outdated(stored, cost_))
                    outcome.upgraded = PasswordHash::make(password, cost_);
                return outcome;
            });
        } catch (const ApiError& error) {
            if (error.status == 503)
                request.response.set_header("Retry-After", "1");
            throw;
        }

        std::int64_t nowMs = ServiceStore::nowMs();
        try {
            return store.locked([&](Database& db) {
                std::string token = Accounts::finishSignIn(
                    db, attempt, checked.matched, checked.upgraded, nowMs, request.config.tokenLifetimeMs);
                throttle_.succeeded(connection);
                auto account = Accounts::authenticate(db, token, nowMs);
                return Json { { "token", token }, { "expiresAt", formatMillis(nowMs + request.config.tokenLifetimeMs) },
                    { "account", accountJson(*account) } };
            });
        } catch (const ApiError& error) {
            if (error.status == 401)
                throttle_.failed(connection, nowMs);
            throw;
        }
    }

private:
    struct Checked {
        bool matched = false;
        // The password stored again when its form is out of date.
        std::optional<StoredPassword> upgraded;
    };

    // Two hashes at a time use the two cores a small machine has, with
    // 19 MiB each; a few more may wait, the rest are told to come back.
    static constexpr std::size_t kHashingThreads = 2;
    static constexpr std::size_t kWaitingHashes = 6;

    static void refuseIfWaiting(ApiRequest& request, std::int64_t waitMs)
    {
        if (waitMs <= 0)
            return;
        request.response.set_header("Retry-After", std::to_string((waitMs + 999) / 1000));
        throw ApiError(429, "too_many_attempts", "登录尝试过于频繁，" + waitSentence(waitMs) + "。");
    }

    PasswordCost cost_;
    StoredPassword decoy_;
    // Accounts with an attempt being checked after failures; guarded by the
    // store's lock, under which attempts begin.
    std::unordered_set<std::string> pending_;
    SignInThrottle throttle_;
    HashingPool pool_;
};

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

void attachment(httplib::Response& response, const std::string& asciiName, const std::string& name, std::string content,
    const char* type)
{
    response.status = 200;
    response.set_header(
        "Content-Disposition", "attachment; filename=\"" + asciiName + "\"; filename*=UTF-8''" + percentEncode(name));
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
        csv += csvField(query.text(0)) + "," + csvField(query.text(1)) + "," + csvField(query.text(2)) + ","
            + csvField(kindLabel) + "," + (query.integer(4) ? "是" : "否") + "," + std::to_string(query.integer(5))
            + "\r\n";
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
    return Json { { "url", "/downloads/" + ticket } };
}

Json download(ApiRequest& request, Database& db)
{
    auto found = Accounts::redeemDownload(db, request.params[0], request.nowMs);
    if (!found)
        throw ApiError(404, "download_expired", "下载链接已失效，请重新下载。");
    if (found->first == "library") {
        attachment(request.response, "korvid-library.csv", "客户名录.csv", libraryCsv(db), "text/csv; charset=utf-8");
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
    auto signIns = std::make_shared<SignIns>(router.config().passwordCost);
    router.addUnlocked(
        "POST", "/auth/sign-in",
        [signIns](ApiRequest& request, ServiceStore& store) { return signIns->signIn(request, store); },
        R::Public | R::NoTransaction);
    router.add(
        "GET", "/auth/challenge",
        [](ApiRequest& request, Database& db) { return Accounts::newChallenge(db, request.nowMs); }, R::Public);
    router.add(
        "POST", "/auth/challenge",
        [](ApiRequest& request, Database& db) {
            BodyFields fields(request.body);
            std::string id = *fields.text("id", 64, true, 1);
            std::string answer = *fields.text("answer", 16, true);
            auto email = fields.text("email", 254);
            return Json { { "ticket", Accounts::solveChallenge(db, id, answer, email, request.nowMs) } };
        },
        R::Public | R::NoTransaction);

    router.add("GET", "/v1/me", [](ApiRequest& request, Database&) { return accountJson(request.user()); });
    router.add("PUT", "/v1/me", [](ApiRequest& request, Database& db) {
        std::string name = *BodyFields(request.body).text("name", 40, true, 1);
        Accounts::rename(db, request.user().id, name);
        Account account = request.user();
        account.name = name;
        return accountJson(account);
    });
    router.add(
        "POST", "/v1/sign-out",
        [](ApiRequest& request, Database& db) {
            Accounts::revoke(db, request.http.get_header_value("Authorization").substr(7));
            return Json { { "ok", true } };
        },
        R::NoBody);
    router.add("POST", "/v1/downloads", issueDownload);
    router.add("GET", "/downloads/{}", download, R::Public | R::Raw);
}

}
