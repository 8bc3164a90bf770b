#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace korvid {

// Bytes as lower-case hexadecimal digits, two per byte.
std::string hexText(const unsigned char* bytes, std::size_t length);

// SHA-256 as 64 lower-case hexadecimal digits.
std::string sha256Hex(std::string_view bytes);

// Incremental SHA-256 for data read in pieces.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::string_view bytes);
    std::string finishHex(); // once only

private:
    struct State;
    std::unique_ptr<State> state_;
};

}
