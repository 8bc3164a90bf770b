#include "service/Accounts.h"

#include "base/Digest.h"
#include "service/ApiError.h"
#include "service/Database.h"

#include <openssl/evp.h>

#include <sys/random.h>

#include <algorithm>
#include <cctype>
#include <vector>

namespace korvid {

namespace {

constexpr int kPasswordIterations = 20000;
constexpr std::int64_t kChallengeLifetimeMs = 5 * 60 * 1000;
constexpr std::int64_t kDownloadLifetimeMs = 2 * 60 * 1000;

std::string hex(const unsigned char* bytes, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 15]);
    }
    return text;
}

std::string lowerAscii(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
        [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool constantTimeEqual(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

int failuresOf(Database& database, const std::string& email, std::int64_t nowMs)
{
    Statement query(database, "SELECT count, last_ms FROM sign_in_failures WHERE email = ?");
    query.bind(1, email);
    if (!query.step() || nowMs - query.integer(1) > Accounts::kFailureWindowMs)
        return 0;
    return static_cast<int>(query.integer(0));
}

void recordFailure(Database& database, const std::string& email, int failures, std::int64_t nowMs)
{
    Statement write(database,
        "INSERT OR REPLACE INTO sign_in_failures (email, count, last_ms) VALUES (?, ?, ?)");
    write.bind(1, email).bind(2, failures + 1).bind(3, nowMs).run();
}

bool redeemTicket(Database& database, const std::string& ticket, std::int64_t nowMs)
{
    Statement use(database,
        "DELETE FROM challenges WHERE ticket_hash = ? AND expires_ms > ?");
    use.bind(1, sha256Hex(ticket)).bind(2, nowMs).run();
    return database.changes() > 0;
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
    return hex(buffer.data(), bytes);
}

std::string Accounts::hashPassword(const std::string& password, const std::string& salt)
{
    unsigned char key[32];
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
            reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
            kPasswordIterations, EVP_sha256(), sizeof key, key) != 1)
        throw ApiError(500, "internal", "服务无法校验密码，请稍后重试。");
    return hex(key, sizeof key);
}

void Accounts::create(Database& database, const std::string& id, const std::string& email,
    const std::string& name, const std::string& password)
{
    std::string salt = randomHex(16);
    Statement write(database,
        "INSERT INTO accounts (id, email, name, salt, password_hash) VALUES (?, ?, ?, ?, ?)");
    write.bind(1, id).bind(2, lowerAscii(email)).bind(3, name).bind(4, salt)
        .bind(5, hashPassword(password, salt)).run();
}

std::string Accounts::signIn(Database& database, const std::string& emailText,
    const std::string& password, const std::optional<std::string>& challengeTicket,
    std::int64_t nowMs, std::int64_t tokenLifetimeMs)
{
    std::string email = lowerAscii(emailText);
    int failures = failuresOf(database, email, nowMs);
    if (failures >= kFailuresBeforeChallenge) {
        if (!challengeTicket || !redeemTicket(database, *challengeTicket, nowMs))
            throw ApiError(403, "challenge_required", "登录失败次数较多，请先完成安全验证。");
    }

    Statement query(database, "SELECT id, salt, password_hash FROM accounts WHERE email = ?");
    query.bind(1, email);
    bool known = query.step();
    // Unknown e-mails cost the same hashing work as known ones.
    std::string salt = known ? query.text(1) : std::string("0000000000000000");
    std::string digest = hashPassword(password, salt);
    if (!known || !constantTimeEqual(digest, query.text(2))) {
        recordFailure(database, email, failures, nowMs);
        throw ApiError(401, "invalid_credentials", "邮箱或密码不正确。");
    }
    std::string accountID = query.text(0);

    Statement clear(database, "DELETE FROM sign_in_failures WHERE email = ?");
    clear.bind(1, email).run();
    Statement expired(database, "DELETE FROM sessions WHERE expires_ms <= ?");
    expired.bind(1, nowMs).run();

    std::string token = randomHex(32);
    Statement write(database,
        "INSERT INTO sessions (token_hash, account_id, expires_ms) VALUES (?, ?, ?)");
    write.bind(1, sha256Hex(token)).bind(2, accountID).bind(3, nowMs + tokenLifetimeMs).run();
    return token;
}

std::optional<Account> Accounts::authenticate(Database& database, const std::string& token,
    std::int64_t nowMs)
{
    if (token.empty())
        return std::nullopt;
    Statement query(database,
        "SELECT a.id, a.email, a.name FROM sessions s JOIN accounts a ON a.id = s.account_id "
        "WHERE s.token_hash = ? AND s.expires_ms > ?");
    query.bind(1, sha256Hex(token)).bind(2, nowMs);
    if (!query.step())
        return std::nullopt;
    return Account {query.text(0), query.text(1), query.text(2)};
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
    Statement write(database,
        "INSERT INTO challenges (id, answer, expires_ms, ticket_hash) VALUES (?, ?, ?, NULL)");
    write.bind(1, id).bind(2, std::to_string(a + b)).bind(3, nowMs + kChallengeLifetimeMs).run();
    return Json {{"id", id},
        {"question", std::to_string(a) + " 加 " + std::to_string(b) + " 等于几？"}};
}

std::string Accounts::solveChallenge(Database& database, const std::string& id,
    const std::string& answer, std::int64_t nowMs)
{
    Statement query(database,
        "SELECT answer FROM challenges WHERE id = ? AND expires_ms > ? AND ticket_hash IS NULL");
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
    write.bind(1, sha256Hex(ticket)).bind(2, id).run();
    return ticket;
}

std::string Accounts::issueDownload(Database& database, const std::string& accountID,
    const std::string& kind, const std::string& ref, std::int64_t nowMs)
{
    Statement cleanup(database, "DELETE FROM downloads WHERE expires_ms <= ?");
    cleanup.bind(1, nowMs).run();
    std::string ticket = randomHex(24);
    Statement write(database,
        "INSERT INTO downloads (ticket_hash, account_id, kind, ref, expires_ms) VALUES (?, ?, ?, ?, ?)");
    write.bind(1, sha256Hex(ticket)).bind(2, accountID).bind(3, kind).bind(4, ref)
        .bind(5, nowMs + kDownloadLifetimeMs).run();
    return ticket;
}

std::optional<std::pair<std::string, std::string>> Accounts::redeemDownload(Database& database,
    const std::string& ticket, std::int64_t nowMs)
{
    std::string digest = sha256Hex(ticket);
    Statement query(database,
        "SELECT kind, ref FROM downloads WHERE ticket_hash = ? AND expires_ms > ?");
    query.bind(1, digest).bind(2, nowMs);
    if (!query.step())
        return std::nullopt;
    std::pair<std::string, std::string> found {query.text(0), query.text(1)};
    query.reset();
    Statement use(database, "DELETE FROM downloads WHERE ticket_hash = ?");
    use.bind(1, digest).run();
    return found;
}

}
