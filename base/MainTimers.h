#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace korvid {

// A one-shot timer on the main thread. Cancelling is idempotent and safe
// after the timer fired; a cancelled timer never runs its work.
class TimerHandle {
public:
    struct State {
        virtual ~State() = default;
        virtual void cancel() = 0;
    };

    TimerHandle() = default;
    explicit TimerHandle(std::shared_ptr<State> state)
        : state_(std::move(state))
    {
    }

    void cancel()
    {
        if (state_)
            state_->cancel();
    }

private:
    std::shared_ptr<State> state_;
};

// Sleeps on the main thread's monotonic clock: the GLib main loop in the
// application, a hand-advanced clock in tests.
class MainTimers {
public:
    virtual ~MainTimers() = default;
    virtual TimerHandle after(std::chrono::milliseconds delay, std::function<void()> work) = 0;
};

}
