#pragma once

#include "base/Executor.h"
#include "base/MainLoop.h"

#include <glib.h>

namespace korvid {

// The main thread's executor, timers and descriptor watches: the default GLib
// main context. Posting is safe from any thread; work always runs later, on
// the main loop. Timers and watches are made and dropped on the main thread.
class GLibExecutor final : public Executor, public MainLoop {
public:
    explicit GLibExecutor(GMainContext* context = nullptr);

    void post(std::function<void()> work) override;
    TimerHandle after(std::chrono::milliseconds delay, std::function<void()> work) override;
    FdWatch watch(int fd, unsigned events, std::function<void(unsigned)> ready) override;

    // Runs the main context until `done()` holds or `timeout` passes; for
    // tests and benchmarks. Returns whether it held.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

private:
    GMainContext* context_;
};

}
