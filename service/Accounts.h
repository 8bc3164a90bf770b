#pragma once

#include "base/Json.h"
#include "service/PasswordHash.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace korvid {

class Database;

struct Account {
    std::string id;
    std::string email;
    std::string name;
};

// What the first step of a sign-in, under the store's lock, found: the
// password is then checked without the lock and the outcome written by
// Accounts::finishSignIn.
struct SignInAttempt {
    std::string email;
    // Empty for an unknown e-mail, which is still hashed against a decoy so
    // that it takes as long as a known one.
    std::optional<std::string> accountID;
    std::optional<StoredPassword> stored;
    // More than 0: the account must wait this long after its failures
    // (or for another attempt on it to be checked).
    std::int64_t waitMs = 0;
    // The attempt holds the account's one place for attempts after failures;
    // the caller gives it back once the outcome is written.
    bool claimed = false;
};

// Accounts, passwords, bearer tokens, the sign-in challenge and one-time
// download tickets. Secrets are stored only as digests.
class Accounts {
public:
    static constexpr int kFailuresBeforeChallenge = 3;
    static constexpr std::int64_t kFailureWindowMs = 15 * 60 * 1000;
    // Live sessions kept per account; a sign-in past this ends the oldest.
    static constexpr int kMaxSessionsPerAccount = 100;

    static void create(Database& database, const std::string& id, const std::string& email, const std::string& name,
        const std::string& password, const PasswordCost& cost = {});

    // The locked first step of a sign-in: the account's wait after failures,
    // then (after repeated failures) a solved challenge ticket issued for
    // this e-mail, then the stored password. Once the account has failed
    // enough to wait, attempts on it are checked one at a time, or a script
    // could start many in the moment a wait ends: `claim(email)` takes the
    // account's one place, false when another attempt holds it. Throws ApiError.
    static SignInAttempt beginSignIn(Database& database, const std::string& email,
        const std::optional<std::string>& challengeTicket, std::int64_t nowMs,
        const std::function<bool(const std::string&)>& claim);
    // The locked last step: records a failure (and throws 401) or opens a
    // session and returns its token, storing `upgraded` in place of the old
    // password form. Prunes what has run out on the way.
    static std::string finishSignIn(Database& database, const SignInAttempt& attempt, bool matched,
        const std::optional<StoredPassword>& upgraded, std::int64_t nowMs, std::int64_t tokenLifetimeMs);
    static std::optional<Account> authenticate(Database& database, const std::string& token, std::int64_t nowMs);
    static void revoke(Database& database, const std::string& token);
    static void rename(Database& database, const std::string& accountID, const std::string& name);

    // {"id", "question"}: a small sum to answer.
    static Json newChallenge(Database& database, std::int64_t nowMs);
    // The ticket a sign-in presents after repeated failures; given an
    // e-mail, it is good only for signing in with that e-mail. Throws ApiError.
    static std::string solveChallenge(Database& database, const std::string& id, const std::string& answer,
        const std::optional<std::string>& email, std::int64_t nowMs);

    static std::string issueDownload(Database& database, const std::string& accountID, const std::string& kind,
        const std::string& ref, std::int64_t nowMs);
    // {kind, ref} of a live ticket, which is used up by this call.
    static std::optional<std::pair<std::string, std::string>> redeemDownload(
        Database& database, const std::string& ticket, std::int64_t nowMs);

    static std::string randomHex(std::size_t bytes);
};

}
