#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace korvid {

// Somewhere to run work later. The main executor is the GLib main context in
// the application and a ManualExecutor in tests.
class Executor {
public:
    virtual ~Executor() = default;
    virtual void post(std::function<void()> work) = 0;
};

// Runs work only when asked to: deterministic ordering for tests.
class ManualExecutor final : public Executor {
public:
    void post(std::function<void()> work) override;
    // Runs queued work (and work it queues) until the queue is empty.
    // Returns the number of items run.
    std::size_t runUntilIdle();
    // Waits up to `timeoutMs` for work posted from other threads, running it,
    // until `done()` holds. Returns whether it held.
    bool runUntil(const std::function<bool()>& done, int timeoutMs = 10000);

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
};

// Worker threads taking work from one FIFO. The destructor finishes queued
// work, then joins.
class WorkerThreads : public Executor {
public:
    explicit WorkerThreads(unsigned threads);
    ~WorkerThreads() override;
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    void post(std::function<void()> work) final;

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// One worker thread: work runs one item at a time, in order.
class SerialQueue final : public WorkerThreads {
public:
    SerialQueue()
        : WorkerThreads(1)
    {
    }
};

// Detached background work on a small pool of threads.
class BackgroundPool final : public WorkerThreads {
public:
    explicit BackgroundPool(unsigned threads = 2)
        : WorkerThreads(threads == 0 ? 1 : threads)
    {
    }
};

}
