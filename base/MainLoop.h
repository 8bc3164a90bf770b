#pragma once

#include "base/MainTimers.h"

#include <functional>
#include <memory>
#include <utility>

namespace korvid {

// What a watched descriptor waits for, or reports, as bits.
enum FdEvents : unsigned {
    kFdReadable = 1u,
    kFdWritable = 2u,
    kFdFailed = 4u, // error or hang-up; reported whatever was asked for
};

// One descriptor watched by the main loop. Owning: dropping the watch stops
// it. Changing and stopping are safe from inside its own callback, and a
// stopped watch never calls again. Stop it before closing the descriptor.
class FdWatch {
public:
    struct State {
        virtual ~State() = default;
        virtual void change(unsigned events) = 0;
        virtual void cancel() = 0;
    };

    FdWatch() = default;
    explicit FdWatch(std::shared_ptr<State> state)
        : state_(std::move(state))
    {
    }
    FdWatch(FdWatch&& other) noexcept
        : state_(std::move(other.state_))
    {
    }
    FdWatch& operator=(FdWatch&& other) noexcept
    {
        if (this != &other) {
            cancel();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    FdWatch(const FdWatch&) = delete;
    FdWatch& operator=(const FdWatch&) = delete;
    ~FdWatch() { cancel(); }

    // What to wait for from now on; 0 pauses the watch.
    void change(unsigned events)
    {
        if (state_)
            state_->change(events);
    }
    void cancel()
    {
        if (auto state = std::exchange(state_, nullptr))
            state->cancel();
    }

private:
    std::shared_ptr<State> state_;
};

// The main thread's loop as the network layer drives it: descriptors to
// watch and one-shot timers. Everything is called, and calls back, on the
// main thread only.
class MainLoop : public MainTimers {
public:
    // Calls `ready` with the events that hold (kFd* bits) whenever one of
    // `events` does, until the watch is dropped.
    virtual FdWatch watch(int fd, unsigned events, std::function<void(unsigned ready)> ready) = 0;
};

}
