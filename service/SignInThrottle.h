#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace korvid {

// How long sign-in attempts must wait after failed ones, apart from the
// arithmetic challenge (which a script solves). Three places count failures:
// the account (kept in the database by Accounts, so a restart does not
// clear it), the connection the attempts arrive on, and the whole service,
// because every local client shares 127.0.0.1 and a script can open a fresh
// connection for each guess. A refused attempt is answered at once, never
// by holding a worker asleep, and does not count as a failure.
class SignInThrottle {
public:
    // Failures forgiven before the waits start, and the longest wait.
    static constexpr int kFreeAccountFailures = 3;
    static constexpr std::int64_t kMaxAccountWaitMs = 5 * 60 * 1000;
    static constexpr int kFreeConnectionFailures = 3;
    static constexpr std::int64_t kMaxConnectionWaitMs = 60 * 1000;
    // The whole service: a burst of failures, then one every few seconds.
    static constexpr int kServiceBurst = 20;
    static constexpr std::int64_t kServiceRefillMs = 3000;

    // The wait after an account's latest failure, given how many there were:
    // none for the first few, then one second doubling up to the cap.
    static std::int64_t accountWaitMs(int failures);

    // How much longer attempts from `connection` must wait; 0 when free.
    // An empty `connection` (the server could not tell) counts only for
    // the whole service.
    std::int64_t waitMs(const std::string& connection, std::int64_t nowMs);
    void failed(const std::string& connection, std::int64_t nowMs);
    void succeeded(const std::string& connection);

private:
    struct Failures {
        int count = 0;
        std::int64_t lastMs = 0;
    };

    static std::int64_t growingWait(int failures, int free, std::int64_t capMs);
    void refill(std::int64_t nowMs);
    void forgetQuietConnections(std::int64_t nowMs);

    std::mutex mutex_;
    std::unordered_map<std::string, Failures> connections_;
    double serviceAllowance_ = kServiceBurst;
    std::int64_t refilledMs_ = 0;
};

// "请 30 秒后再试" / "请 3 分钟后再试": a wait as the sign-in page says it.
std::string waitSentence(std::int64_t waitMs);

}
