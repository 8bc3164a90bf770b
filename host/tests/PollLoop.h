#pragma once

// A main loop for the platform-free tests: descriptors watched with poll(2)
// and one-shot timers on the monotonic clock, run on the test's own thread
// together with a ManualExecutor's queue. Counts what is still watched and
// pending, so a test can check that everything was given back.

#include "base/Executor.h"
#include "base/MainLoop.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

namespace korvid::testing {

class PollLoop final : public MainLoop {
public:
    FdWatch watch(int fd, unsigned events, std::function<void(unsigned)> ready) override
    {
        auto watch = std::make_shared<Watch>();
        watch->fd = fd;
        watch->events = events;
        watch->ready = std::move(ready);
        watches_.push_back(watch);
        ++made_;
        return FdWatch(watch);
    }

    TimerHandle after(std::chrono::milliseconds delay, std::function<void()> work) override
    {
        auto timer = std::make_shared<Timer>();
        timer->at = Clock::now() + std::max(delay, std::chrono::milliseconds(0));
        timer->work = std::move(work);
        timers_.push_back(timer);
        return TimerHandle(timer);
    }

    // Runs `main`'s queue, ready descriptors and due timers until `done()`
    // holds or `timeoutMs` passes. Work posted to `main` from other threads
    // is picked up within a couple of milliseconds.
    bool runUntil(ManualExecutor& main, const std::function<bool()>& done, int timeoutMs = 10000)
    {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            main.runUntilIdle();
            if (done())
                return true;
            auto now = Clock::now();
            if (now >= deadline)
                return false;
            turn(std::min(deadline, now + std::chrono::milliseconds(2)));
        }
    }

    // Descriptors still watched and timers still pending.
    std::size_t watching()
    {
        prune();
        return watches_.size();
    }
    std::size_t pending()
    {
        prune();
        return timers_.size();
    }
    // Watches created so far, stopped or not.
    std::size_t watchesMade() const { return made_; }

private:
    using Clock = std::chrono::steady_clock;

    struct Watch final : FdWatch::State {
        int fd = -1;
        unsigned events = 0;
        bool stopped = false;
        std::function<void(unsigned)> ready;
        void change(unsigned to) override { events = to; }
        void cancel() override { stopped = true; }
    };
    struct Timer final : TimerHandle::State {
        Clock::time_point at;
        bool done = false;
        std::function<void()> work;
        void cancel() override
        {
            done = true;
            work = nullptr;
        }
    };

    void prune()
    {
        std::erase_if(watches_, [](const auto& watch) { return watch->stopped; });
        std::erase_if(timers_, [](const auto& timer) { return timer->done; });
    }

    // One wait of at most until `limit`, then the callbacks that are due.
    void turn(Clock::time_point limit)
    {
        prune();
        for (const auto& timer : timers_)
            limit = std::min(limit, timer->at);
        std::vector<pollfd> fds;
        std::vector<std::shared_ptr<Watch>> polled;
        for (const auto& watch : watches_) {
            if (!watch->events)
                continue;
            short asked = 0;
            if (watch->events & kFdReadable)
                asked |= POLLIN;
            if (watch->events & kFdWritable)
                asked |= POLLOUT;
            fds.push_back({ watch->fd, asked, 0 });
            polled.push_back(watch);
        }
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(limit - Clock::now()).count();
        int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(wait, 0)));
        for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
            short got = fds[i].revents;
            unsigned bits = ((got & POLLIN) ? kFdReadable : 0u) | ((got & POLLOUT) ? kFdWritable : 0u)
                | ((got & (POLLERR | POLLHUP | POLLNVAL)) ? kFdFailed : 0u);
            // Held here, so a watch stopped from its own callback stays whole
            // until the callback returns.
            auto watch = polled[i];
            if (bits && !watch->stopped)
                watch->ready(bits);
        }
        auto now = Clock::now();
        auto due = timers_;
        for (const auto& timer : due) {
            if (timer->done || timer->at > now)
                continue;
            auto work = std::move(timer->work);
            timer->done = true;
            if (work)
                work();
        }
    }

    std::vector<std::shared_ptr<Watch>> watches_;
    std::vector<std::shared_ptr<Timer>> timers_;
    std::size_t made_ = 0;
};

}
