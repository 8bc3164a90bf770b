#include "platform/GLibExecutor.h"

#include <algorithm>
#include <memory>

namespace korvid {

namespace {

gboolean runOnce(gpointer data)
{
    try {
        (*static_cast<std::function<void()>*>(data))();
    } catch (...) {
        // Work posted here reports its own failures; one that escapes must
        // not unwind through the main loop.
    }
    return G_SOURCE_REMOVE;
}

void deleteWork(gpointer data)
{
    delete static_cast<std::function<void()>*>(data);
}

// One pending timeout. The source holds a reference until it is destroyed.
struct GLibTimer final : TimerHandle::State {
    GSource* source = nullptr;
    std::function<void()> work;

    void cancel() override
    {
        work = nullptr;
        if (source) {
            g_source_destroy(source);
            g_source_unref(source);
            source = nullptr;
        }
    }
    ~GLibTimer() override { cancel(); }
};

gboolean fireTimer(gpointer data)
{
    auto timer = *static_cast<std::shared_ptr<GLibTimer>*>(data);
    auto work = std::move(timer->work);
    timer->work = nullptr;
    if (timer->source) {
        g_source_unref(timer->source);
        timer->source = nullptr;
    }
    if (work) {
        try {
            work();
        } catch (...) {
        }
    }
    return G_SOURCE_REMOVE;
}

void deleteTimer(gpointer data)
{
    delete static_cast<std::shared_ptr<GLibTimer>*>(data);
}

}

GLibExecutor::GLibExecutor(GMainContext* context)
    : context_(context ? context : g_main_context_default())
{
}

void GLibExecutor::post(std::function<void()> work)
{
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, runOnce, new std::function<void()>(std::move(work)), deleteWork);
    g_source_attach(source, context_);
    g_source_unref(source);
}

TimerHandle GLibExecutor::after(std::chrono::milliseconds delay, std::function<void()> work)
{
    auto timer = std::make_shared<GLibTimer>();
    timer->work = std::move(work);
    timer->source = g_timeout_source_new(static_cast<guint>(std::max<std::int64_t>(delay.count(), 0)));
    // The source keeps only a weak hold on the handle's state through the
    // shared pointer it carries; cancelling destroys the source.
    g_source_set_callback(timer->source, fireTimer, new std::shared_ptr<GLibTimer>(timer), deleteTimer);
    g_source_attach(timer->source, context_);
    return TimerHandle(timer);
}

bool GLibExecutor::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    bool expired = false;
    auto deadline = after(timeout, [&expired] { expired = true; });
    while (!done() && !expired)
        g_main_context_iteration(context_, TRUE);
    deadline.cancel();
    return done();
}

}
