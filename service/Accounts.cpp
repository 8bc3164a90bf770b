#include "service/Accounts.h"

#include "base/Digest.h"
#include "service/ApiError.h"
#include "service/Database.h"
#include "service/SignInThrottle.h"

#include <sys/random.h>

#include <algorithm>
#include <cctype>
#include <vector>

namespace korvid {

namespace {

constexpr std::int64_t kChallengeLifetimeMs = 5 * 60 * 1000;
constexpr std::int64_t kDownloadLifetimeMs = 2 * 60 * 1000;

std::string lowerAscii(std::string text)
{
    std::transform(
        text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A ticket solved for an e-mail is stored under a digest of both, so it
// matches nothing when presented with another.
std::string ticketDigest(const std::string& ticket, const std::optional<std::string>& email)
{
    return email ? sha256Hex(lowerAscii(*email) + "\n" + ticket) : sha256Hex(ticket);
}

struct Failures {
    int count = 0;
    std::int64_t lastMs = 0;
};

Failures failuresOf(Database& database, const std::string& email, std::int64_t nowMs)
{
    Statement query(database, "SELECT count, last_ms FROM sign_in_failures WHERE email = ?");
    query.bind(1, email);
    if (!query.step() || nowMs - query.integer(1) > Accounts::kFailureWindowMs)
        return {};
    return Failures { static_cast<int>(query.integer(0)), query.integer(1) };
}

// Counted in SQL: attempts for one account are hashed in parallel, and each
// failure must add one to what the others wrote.
void recordFailure(Database& database, const std::string& email, std::int64_t nowMs)
{
    Statement write(database,
        "INSERT INTO sign_in_failures (email, count, last_ms) VALUES (?1, 1, ?2) "
        "ON CONFLICT (email) DO UPDATE SET "
        "count = CASE WHEN ?2 - last_ms > ?3 THEN 1 ELSE count + 1 END, last_ms = max(last_ms, ?2)");
    write.bind(1, email).bind(2, nowMs).bind(3, Accounts::kFailureWindowMs).run();
}

bool redeemTicket(Database& database, const std::string& ticket, const std::string& email, std::int64_t nowMs)
{
    Statement use(database, "DELETE FROM challenges WHERE ticket_hash IN (?, ?) AND expires_ms > ?");
    use.bind(1, ticketDigest(ticket, std::nullopt)).bind(2, ticketDigest(ticket, email)).bind(3, nowMs).run();
    return database.changes() > 0;
}

void pruneSignInRows(Database& database, std::int64_t nowMs)
{
    Statement failures(database, "DELETE FROM sign_in_failures WHERE last_ms < ?");
    failures.bind(1, nowMs - Accounts::kFailureWindowMs).run();
    Statement sessions(database, "DELETE FROM sessions WHERE expires_ms <= ?");
    sessions.bind(1, nowMs).run();
}

void keepNewestSessions(Database& database, const std::string& accountID)
{
    Statement trim(database,
        "DELETE FROM sessions WHERE account_id = ?1 AND token_hash NOT IN ("
        "SELECT token_hash FROM sessions WHERE account_id = ?1 ORDER BY expires_ms DESC LIMIT ?2)");
    trim.bind(1, accountID).bind(2, Accounts::kMaxSessionsPerAccount).run();
}

}

std::string Accounts::randomHex(std::size_t bytes)
{
    std::vector<unsigned char> buffer(bytes);
    std::size_t filled = 0;
    while (filled < bytes) {
        ssize_t got = getrandom(buffer.data() + filled, bytes - filled, 0);
        if (got <= 0)
            throw ApiError(500, "internal", "服务无法生成安全随机数，请稍后重试。");
        filled += static_cast<std::size_t>(got);
    }
    return hexText(buffer.data(), bytes);
}

void Accounts::create(Database& database, const std::string& id, const std::string& email, const std::string& name,
    const std::string& password, const PasswordCost& cost)
{
    StoredPassword stored = PasswordHash::make(password, cost);
    Statement write(database, "INSERT INTO accounts (id, email, name, salt, password_hash) VALUES (?, ?, ?, ?, ?)");
    write.bind(1, id).bind(2, lowerAscii(email)).bind(3, name).bind(4, stored.salt).bind(5, stored.digest).run();
}

SignInAttempt Accounts::beginSignIn(Database& database, const std::string& emailText,
    const std::optional<std::string>& challengeTicket, std::int64_t nowMs,
    const std::function<bool(const std::string&)>& claim)
{
    SignInAttempt attempt;
    attempt.email = lowerAscii(emailText);
    Failures failures = failuresOf(database, attempt.email, nowMs);
    if (failures.count > 0) {
        std::int64_t until = failures.lastMs + SignInThrottle::accountWaitMs(failures.count);
        if (until > nowMs) {
            attempt.waitMs = until - nowMs;
            return attempt;
        }
    }
    if (failures.count >= kFailuresBeforeChallenge) {
        if (!challengeTicket || !redeemTicket(database, *challengeTicket, attempt.email, nowMs))
            throw ApiError(403, "challenge_required", "登录失败次数较多，请先完成安全验证。");
    }

    Statement query(database, "SELECT id, salt, password_hash FROM accounts WHERE email = ?");
    query.bind(1, attempt.email);
    if (query.step()) {
        attempt.accountID = query.text(0);
        attempt.stored = StoredPassword { query.text(1), query.text(2) };
    }
    // Last, so that nothing can throw between taking the place and the caller
    // holding it.
    if (SignInThrottle::accountWaitMs(failures.count + 1) > 0) {
        attempt.claimed = claim(attempt.email);
        if (!attempt.claimed)
            attempt.waitMs = 1000;
    }
    return attempt;
}

std::string Accounts::finishSignIn(Database& database, const SignInAttempt& attempt, bool matched,
    const std::optional<StoredPassword>& upgraded, std::int64_t nowMs, std::int64_t tokenLifetimeMs)
{
    Transaction transaction(database);
    pruneSignInRows(database, nowMs);
    if (!matched || !attempt.accountID) {
        recordFailure(database, attempt.email, nowMs);
        transaction.commit();
        throw ApiError(401, "invalid_credentials", "邮箱或密码不正确。");
    }
    const std::string& accountID = *attempt.accountID;

    Statement clear(database, "DELETE FROM sign_in_failures WHERE email = ?");
    clear.bind(1, attempt.email).run();
    if (upgraded && attempt.stored) {
        // Only over the form that was checked: a password changed meanwhile stays.
        Statement store(database,
            "UPDATE accounts SET salt = ?, password_hash = ? WHERE id = ? AND salt = ? AND password_hash = ?");
        store.bind(1, upgraded->salt)
            .bind(2, upgraded->digest)
            .bind(3, accountID)
            .bind(4, attempt.stored->salt)
            .bind(5, attempt.stored->digest)
            .run();
    }

    std::string token = randomHex(32);
    Statement write(database, "INSERT INTO sessions (token_hash, account_id, expires_ms) VALUES (?, ?, ?)");
    write.bind(1, sha256Hex(token)).bind(2, accountID).bind(3, nowMs + tokenLifetimeMs).run();
    keepNewestSessions(database, accountID);
    transaction.commit();
    return token;
}

std::optional<Account> Accounts::authenticate(Database& database, const std::string& token, std::int64_t nowMs)
{
    if (token.empty())
        return std::nullopt;
    Statement query(database,
        "SELECT a.id, a.email, a.name FROM sessions s JOIN accounts a ON a.id = s.account_id "
        "WHERE s.token_hash = ? AND s.expires_ms > ?");
    query.bind(1, sha256Hex(token)).bind(2, nowMs);
    if (!query.step())
        return std::nullopt;
    return Account { query.text(0), query.text(1), query.text(2) };
}

void Accounts::revoke(Database& database, const std::string& token)
{
    Statement write(database, "DELETE FROM sessions WHERE token_hash = ?");
    write.bind(1, sha256Hex(token)).run();
}

void Accounts::rename(Database& database, const std::string& accountID, const std::string& name)
{
    Statement write(database, "UPDATE accounts SET name = ? WHERE id = ?");
    write.bind(1, name).bind(2, accountID).run();
}

Json Accounts::newChallenge(Database& database, std::int64_t nowMs)
{
    std::string seed = randomHex(2);
    int a = 2 + static_cast<int>(std::stoul(seed.substr(0, 2), nullptr, 16) % 18);
    int b = 2 + static_cast<int>(std::stoul(seed.substr(2, 2), nullptr, 16) % 18);
    std::string id = randomHex(16);
    Statement cleanup(database, "DELETE FROM challenges WHERE expires_ms <= ?");
    cleanup.bind(1, nowMs).run();
    Statement write(database, "INSERT INTO challenges (id, answer, expires_ms, ticket_hash) VALUES (?, ?, ?, NULL)");
    write.bind(1, id).bind(2, std::to_string(a + b)).bind(3, nowMs + kChallengeLifetimeMs).run();
    return Json { { "id", id }, { "question", std::to_string(a) + " 加 " + std::to_string(b) + " 等于几？" } };
}

std::string Accounts::solveChallenge(Database& database, const std::string& id, const std::string& answer,
    const std::optional<std::string>& email, std::int64_t nowMs)
{
    Statement query(database, "SELECT answer FROM challenges WHERE id = ? AND expires_ms > ? AND ticket_hash IS NULL");
    query.bind(1, id).bind(2, nowMs);
    if (!query.step())
        throw ApiError(400, "challenge_expired", "验证已过期，请换一题。");
    bool right = query.text(0) == answer;
    query.reset();
    if (!right) {
        // One guess per question.
        Statement drop(database, "DELETE FROM challenges WHERE id = ?");
        drop.bind(1, id).run();
        throw ApiError(400, "challenge_failed", "验证答案不正确，请换一题再试。");
    }
    std::string ticket = randomHex(24);
    Statement write(database, "UPDATE challenges SET ticket_hash = ? WHERE id = ?");
    write.bind(1, ticketDigest(ticket, email)).bind(2, id).run();
    return ticket;
}

std::string Accounts::issueDownload(Database& database, const std::string& accountID, const std::string& kind,
    const std::string& ref, std::int64_t nowMs)
{
    Statement cleanup(database, "DELETE FROM downloads WHERE expires_ms <= ?");
    cleanup.bind(1, nowMs).run();
    std::string ticket = randomHex(24);
    Statement write(
        database, "INSERT INTO downloads (ticket_hash, account_id, kind, ref, expires_ms) VALUES (?, ?, ?, ?, ?)");
    write.bind(1, sha256Hex(ticket))
        .bind(2, accountID)
        .bind(3, kind)
        .bind(4, ref)
        .bind(5, nowMs + kDownloadLifetimeMs)
        .run();
    return ticket;
}

std::optional<std::pair<std::string, std::string>> Accounts::redeemDownload(
    Database& database, const std::string& ticket, std::int64_t nowMs)
{
    std::string digest = sha256Hex(ticket);
    Statement query(database, "SELECT kind, ref FROM downloads WHERE ticket_hash = ? AND expires_ms > ?");
    query.bind(1, digest).bind(2, nowMs);
    if (!query.step())
        return std::nullopt;
    std::pair<std::string, std::string> found { query.text(0), query.text(1) };
    query.reset();
    Statement use(database, "DELETE FROM downloads WHERE ticket_hash = ?");
    use.bind(1, digest).run();
    return found;
}

}
