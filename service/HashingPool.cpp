#include "service/HashingPool.h"

#include <sys/resource.h>
#include <unistd.h>

namespace korvid {

namespace {

// Below the HTTP workers, so that reads stay quick while hashes queue.
constexpr int kHashingNiceness = 10;

}

HashingPool::HashingPool(std::size_t threads, std::size_t waitingLimit)
    : waitingLimit_(waitingLimit)
{
    for (std::size_t i = 0; i < threads; ++i)
        threads_.emplace_back([this] { serve(); });
}

HashingPool::~HashingPool()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_)
        thread.join();
}

bool HashingPool::post(std::function<void()> job)
{
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || jobs_.size() >= waitingLimit_)
            return false;
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

std::size_t HashingPool::waiting()
{
    std::lock_guard lock(mutex_);
    return jobs_.size();
}

void HashingPool::serve()
{
    // On Linux the niceness of a thread is its own; failing to lower it only
    // costs the reads some latency.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kHashingNiceness);
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            // Jobs already accepted are finished: a worker waits on each.
            if (jobs_.empty())
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

}
