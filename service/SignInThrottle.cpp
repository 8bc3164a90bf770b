#include "service/SignInThrottle.h"

#include <algorithm>
#include <vector>

namespace korvid {

namespace {

// A connection quiet this long starts afresh; its entry can go.
constexpr std::int64_t kConnectionMemoryMs = 15 * 60 * 1000;
constexpr std::size_t kSweepAbove = 1024;

}

std::int64_t SignInThrottle::growingWait(int failures, int free, std::int64_t capMs)
{
    if (failures <= free)
        return 0;
    int doublings = std::min(failures - free - 1, 30);
    return std::min<std::int64_t>(capMs, std::int64_t(1000) << doublings);
}

std::int64_t SignInThrottle::accountWaitMs(int failures)
{
    return growingWait(failures, kFreeAccountFailures, kMaxAccountWaitMs);
}

void SignInThrottle::refill(std::int64_t nowMs)
{
    if (refilledMs_ == 0 || nowMs < refilledMs_) {
        refilledMs_ = nowMs;
        return;
    }
    serviceAllowance_
        = std::min<double>(kServiceBurst, serviceAllowance_ + double(nowMs - refilledMs_) / double(kServiceRefillMs));
    refilledMs_ = nowMs;
}

std::int64_t SignInThrottle::waitMs(const std::string& connection, std::int64_t nowMs)
{
    std::lock_guard lock(mutex_);
    refill(nowMs);
    std::int64_t wait = 0;
    if (serviceAllowance_ < 1)
        wait = static_cast<std::int64_t>((1 - serviceAllowance_) * kServiceRefillMs) + 1;
    auto found = connection.empty() ? connections_.end() : connections_.find(connection);
    if (found != connections_.end()) {
        std::int64_t until
            = found->second.lastMs + growingWait(found->second.count, kFreeConnectionFailures, kMaxConnectionWaitMs);
        wait = std::max(wait, until - nowMs);
    }
    return std::max<std::int64_t>(wait, 0);
}

void SignInThrottle::failed(const std::string& connection, std::int64_t nowMs)
{
    std::lock_guard lock(mutex_);
    refill(nowMs);
    serviceAllowance_ = std::max(serviceAllowance_ - 1, -1.0);
    if (connection.empty())
        return;
    forgetQuietConnections(nowMs);
    Failures& failures = connections_[connection];
    if (nowMs - failures.lastMs > kConnectionMemoryMs)
        failures.count = 0;
    failures.count += 1;
    failures.lastMs = nowMs;
}

void SignInThrottle::succeeded(const std::string& connection)
{
    std::lock_guard lock(mutex_);
    connections_.erase(connection);
}

void SignInThrottle::forgetQuietConnections(std::int64_t nowMs)
{
    if (connections_.size() < kSweepAbove)
        return;
    std::erase_if(connections_, [&](const auto& entry) { return nowMs - entry.second.lastMs > kConnectionMemoryMs; });
    // Still full of recent failures: forget the quietest half rather than grow.
    if (connections_.size() >= kSweepAbove) {
        std::vector<std::int64_t> times;
        for (const auto& entry : connections_)
            times.push_back(entry.second.lastMs);
        std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
        std::int64_t median = times[times.size() / 2];
        std::erase_if(connections_, [&](const auto& entry) { return entry.second.lastMs < median; });
    }
}

std::string waitSentence(std::int64_t waitMs)
{
    std::int64_t seconds = std::max<std::int64_t>(1, (waitMs + 999) / 1000);
    if (seconds < 60)
        return "请 " + std::to_string(seconds) + " 秒后再试";
    return "请 " + std::to_string((seconds + 59) / 60) + " 分钟后再试";
}

}
