#pragma once

#include <cstdint>
#include <string>

namespace korvid {

// The work one password hash costs. The default is current guidance for
// Argon2id on a machine that also runs the desktop: 19 MiB, two passes, one
// lane.
struct PasswordCost {
    std::uint32_t memoryKiB = 19 * 1024;
    std::uint32_t passes = 2;

    // Far too cheap to protect anything: for tests, which seed and sign in
    // hundreds of times under sanitizers.
    static PasswordCost forTests() { return PasswordCost { 64, 1 }; }
};

// A password as the accounts table keeps it. `salt` names the scheme:
// "argon2id$m=19456,t=2,p=1$<salt>" for the current one; a bare salt is the
// earlier PBKDF2-SHA256 at 20,000 iterations, still accepted so that existing
// accounts can sign in and be upgraded. `digest` is 64 hex digits either way.
struct StoredPassword {
    std::string salt;
    std::string digest;
};

// Hashing is slow on purpose; callers run it outside the store's lock.
namespace PasswordHash {

StoredPassword make(const std::string& password, const PasswordCost& cost);
// False also for a stored form this build cannot read.
bool matches(const std::string& password, const StoredPassword& stored);
// Whether the stored form is an older scheme or cheaper than `cost`, so the
// next successful sign-in should store it again.
bool outdated(const StoredPassword& stored, const PasswordCost& cost);

}

}
