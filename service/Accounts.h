#pragma once

#include "base/Json.h"

#include <cstdint>
#include <optional>
#include <string>

namespace korvid {

class Database;

struct Account {
    std::string id;
    std::string email;
    std::string name;
};

// Accounts, passwords, bearer tokens, the sign-in challenge and one-time
// download tickets. Secrets are stored only as digests.
class Accounts {
public:
    static constexpr int kFailuresBeforeChallenge = 3;
    static constexpr std::int64_t kFailureWindowMs = 15 * 60 * 1000;

    static void create(Database& database, const std::string& id, const std::string& email,
        const std::string& name, const std::string& password);

    // Checks the password (and, after repeated failures, a solved challenge
    // ticket) and returns a new token. Throws ApiError.
    static std::string signIn(Database& database, const std::string& email,
        const std::string& password, const std::optional<std::string>& challengeTicket,
        std::int64_t nowMs, std::int64_t tokenLifetimeMs);
    static std::optional<Account> authenticate(Database& database, const std::string& token,
        std::int64_t nowMs);
    static void revoke(Database& database, const std::string& token);
    static void rename(Database& database, const std::string& accountID, const std::string& name);

    // {"id", "question"}: a small sum to answer.
    static Json newChallenge(Database& database, std::int64_t nowMs);
    // The ticket a sign-in presents after repeated failures. Throws ApiError.
    static std::string solveChallenge(Database& database, const std::string& id,
        const std::string& answer, std::int64_t nowMs);

    static std::string issueDownload(Database& database, const std::string& accountID,
        const std::string& kind, const std::string& ref, std::int64_t nowMs);
    // {kind, ref} of a live ticket, which is used up by this call.
    static std::optional<std::pair<std::string, std::string>> redeemDownload(Database& database,
        const std::string& ticket, std::int64_t nowMs);

    static std::string hashPassword(const std::string& password, const std::string& salt);
    static std::string randomHex(std::size_t bytes);
};

}
