#include "base/Executor.h"

#include <chrono>

namespace korvid {

namespace {

// Work posted here reports its own failures to whoever waits for it; an
// exception that still escapes must not take the worker thread (and with it
// the process) down.
void runGuarded(const std::function<void()>& work)
{
    try {
        work();
    } catch (...) {
    }
}

}

void ManualExecutor::post(std::function<void()> work)
{
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(work));
    }
    wake_.notify_all();
}

std::size_t ManualExecutor::runUntilIdle()
{
    std::size_t count = 0;
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty())
                return count;
            work = std::move(queue_.front());
            queue_.pop_front();
        }
        work();
        ++count;
    }
}

bool ManualExecutor::runUntil(const std::function<bool()>& done, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        runUntilIdle();
        if (done())
            return true;
        std::unique_lock lock(mutex_);
        if (!wake_.wait_until(lock, deadline, [&] { return !queue_.empty(); }))
            break;
    }
    runUntilIdle();
    return done();
}

WorkerThreads::WorkerThreads(unsigned threads)
{
    for (unsigned i = 0; i < threads; ++i)
        threads_.emplace_back([this] { run(); });
}

WorkerThreads::~WorkerThreads()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_)
        thread.join();
}

void WorkerThreads::post(std::function<void()> work)
{
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(work));
    }
    wake_.notify_one();
}

void WorkerThreads::run()
{
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (queue_.empty())
                return;
            work = std::move(queue_.front());
            queue_.pop_front();
        }
        runGuarded(work);
    }
}

}
