#pragma once

#include "service/ApiError.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace korvid {

// A few low-priority threads for password hashing. Hashing is slow and
// memory-hungry on purpose, so a flood of sign-ins must neither run it on
// every worker at once nor queue without bound: past `waitingLimit` jobs
// waiting, run() refuses at once with 503.
class HashingPool {
public:
    HashingPool(std::size_t threads, std::size_t waitingLimit);
    ~HashingPool();
    HashingPool(const HashingPool&) = delete;
    HashingPool& operator=(const HashingPool&) = delete;

    // Runs `work` on a pool thread and returns its result (or rethrows its
    // exception). Throws ApiError 503 when the queue is full.
    template <typename Work> auto run(Work work) -> decltype(work())
    {
        using Result = decltype(work());
        auto task = std::make_shared<std::packaged_task<Result()>>(std::move(work));
        std::future<Result> result = task->get_future();
        if (!post([task] { (*task)(); }))
            throw ApiError(503, "busy", "正在登录的人太多，请稍等几秒再试。");
        return result.get();
    }

    // Jobs accepted and not yet started.
    std::size_t waiting();

private:
    bool post(std::function<void()> job);
    void serve();

    std::size_t waitingLimit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}
