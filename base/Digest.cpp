#include "base/Digest.h"

#include <nettle/sha2.h>

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

// Nettle rather than OpenSSL: a digest is all this needs, and libnettle loads
// in a fraction of the time libcrypto takes to load and set up its providers,
// which the excerpt tool paid on every start.
struct Sha256::State {
    sha256_ctx context;
};

Sha256::Sha256()
    : state_(std::make_unique<State>())
{
    sha256_init(&state_->context);
}

Sha256::~Sha256() = default;

void Sha256::update(std::string_view bytes)
{
    sha256_update(&state_->context, bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data()));
}

std::string Sha256::finishHex()
{
    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_digest(&state_->context, sizeof digest, digest);
    return hexText(digest, sizeof digest);
}

std::string sha256Hex(std::string_view bytes)
{
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data()));
    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof digest, digest);
    return hexText(digest, sizeof digest);
}

}
