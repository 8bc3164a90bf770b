#include "base/Digest.h"

#include <openssl/evp.h>
#include <stdexcept>

namespace korvid {

std::string hexText(const unsigned char* bytes, std::size_t length)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text(length * 2, '0');
    for (std::size_t i = 0; i < length; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0f];
    }
    return text;
}

struct Sha256::State {
    EVP_MD_CTX* context = nullptr;
    ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256()
    : state_(std::make_unique<State>())
{
    state_->context = EVP_MD_CTX_new();
    if (!state_->context || EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 unavailable");
}

Sha256::~Sha256() = default;

void Sha256::update(std::string_view bytes)
{
    EVP_DigestUpdate(state_->context, bytes.data(), bytes.size());
}

std::string Sha256::finishHex()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_DigestFinal_ex(state_->context, digest, &length);
    return hexText(digest, length);
}

std::string sha256Hex(std::string_view bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    return hexText(digest, length);
}

}
