#include "service/PasswordHash.h"

#include "base/Digest.h"
#include "service/Accounts.h"
#include "service/ApiError.h"

#include <argon2.h>
#include <openssl/evp.h>

#include <cstdio>
#include <optional>

namespace korvid {

namespace {

constexpr int kLegacyIterations = 20000;
constexpr std::size_t kDigestBytes = 32;
constexpr std::size_t kSaltBytes = 16;
// A damaged row must not make one sign-in allocate without bound.
constexpr std::uint32_t kMaxMemoryKiB = 1024 * 1024;
constexpr std::uint32_t kMaxPasses = 64;

struct Argon2Salt {
    PasswordCost cost;
    std::string salt;
};

bool constantTimeEqual(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

std::optional<Argon2Salt> parseArgon2(const std::string& salt)
{
    unsigned memory = 0, passes = 0, lanes = 0;
    int consumed = 0;
    if (std::sscanf(salt.c_str(), "argon2id$m=%u,t=%u,p=%u$%n", &memory, &passes, &lanes, &consumed) != 3
        || consumed == 0)
        return std::nullopt;
    std::string rest = salt.substr(static_cast<std::size_t>(consumed));
    if (lanes != 1 || memory < 8 || memory > kMaxMemoryKiB || passes < 1 || passes > kMaxPasses
        || rest.size() != kSaltBytes * 2)
        return std::nullopt;
    return Argon2Salt { PasswordCost { memory, passes }, rest };
}

std::string argon2Digest(const std::string& password, const Argon2Salt& salt)
{
    unsigned char digest[kDigestBytes];
    int result = argon2id_hash_raw(salt.cost.passes, salt.cost.memoryKiB, 1, password.data(), password.size(),
        salt.salt.data(), salt.salt.size(), digest, sizeof digest);
    if (result != ARGON2_OK)
        throw ApiError(500, "internal", "服务无法校验密码，请稍后重试。");
    return hexText(digest, sizeof digest);
}

std::string legacyDigest(const std::string& password, const std::string& salt)
{
    unsigned char digest[kDigestBytes];
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
            reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()), kLegacyIterations,
            EVP_sha256(), sizeof digest, digest)
        != 1)
        throw ApiError(500, "internal", "服务无法校验密码，请稍后重试。");
    return hexText(digest, sizeof digest);
}

bool isLegacy(const std::string& salt)
{
    return !salt.empty() && salt.find('$') == std::string::npos;
}

}

namespace PasswordHash {

StoredPassword make(const std::string& password, const PasswordCost& cost)
{
    Argon2Salt salt { cost, Accounts::randomHex(kSaltBytes) };
    std::string label
        = "argon2id$m=" + std::to_string(cost.memoryKiB) + ",t=" + std::to_string(cost.passes) + ",p=1$" + salt.salt;
    return StoredPassword { label, argon2Digest(password, salt) };
}

bool matches(const std::string& password, const StoredPassword& stored)
{
    if (isLegacy(stored.salt))
        return constantTimeEqual(legacyDigest(password, stored.salt), stored.digest);
    auto salt = parseArgon2(stored.salt);
    if (!salt) {
        std::fprintf(stderr, "korvid-service: a stored password has an unreadable form\n");
        return false;
    }
    return constantTimeEqual(argon2Digest(password, *salt), stored.digest);
}

bool outdated(const StoredPassword& stored, const PasswordCost& cost)
{
    auto salt = parseArgon2(stored.salt);
    return !salt || salt->cost.memoryKiB < cost.memoryKiB || salt->cost.passes < cost.passes;
}

}

}
