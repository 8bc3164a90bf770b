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

GIOCondition conditionOf(unsigned events)
{
    unsigned condition = 0;
    if (events & kFdReadable)
        condition |= G_IO_IN;
    if (events & kFdWritable)
        condition |= G_IO_OUT;
    return static_cast<GIOCondition>(condition);
}

struct GLibWatch;

// A source with one descriptor. It reaches its watch weakly: dropping the
// watch destroys the source, and a dispatch in progress holds the watch until
// its callback returns.
struct WatchSource {
    GSource base;
    gpointer tag;
    std::weak_ptr<GLibWatch>* watch;
};

struct GLibWatch final : FdWatch::State {
    WatchSource* source = nullptr;
    int fd = -1;
    std::function<void(unsigned)> ready;

    void change(unsigned events) override
    {
        if (!source)
            return;
        // A paused descriptor leaves the poll set: a hung-up one would
        // otherwise be reported on every turn of the loop.
        if (!events) {
            if (source->tag)
                g_source_remove_unix_fd(&source->base, source->tag);
            source->tag = nullptr;
        } else if (source->tag) {
            g_source_modify_unix_fd(&source->base, source->tag, conditionOf(events));
        } else {
            source->tag = g_source_add_unix_fd(&source->base, fd, conditionOf(events));
        }
    }
    void cancel() override
    {
        if (source) {
            g_source_destroy(&source->base);
            g_source_unref(&source->base);
            source = nullptr;
        }
    }
    ~GLibWatch() override { cancel(); }
};

gboolean dispatchWatch(GSource* base, GSourceFunc, gpointer)
{
    auto* source = reinterpret_cast<WatchSource*>(base);
    auto watch = source->watch->lock();
    if (!watch || !source->tag)
        return G_SOURCE_CONTINUE;
    unsigned got = g_source_query_unix_fd(base, source->tag);
    unsigned ready = ((got & G_IO_IN) ? kFdReadable : 0u) | ((got & G_IO_OUT) ? kFdWritable : 0u)
        | ((got & (G_IO_ERR | G_IO_HUP | G_IO_NVAL)) ? kFdFailed : 0u);
    if (ready) {
        try {
            watch->ready(ready);
        } catch (...) {
        }
    }
    return G_SOURCE_CONTINUE;
}

void finalizeWatch(GSource* base)
{
    delete reinterpret_cast<WatchSource*>(base)->watch;
}

GSourceFuncs watchFuncs = { nullptr, nullptr, dispatchWatch, finalizeWatch, nullptr, nullptr };

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

FdWatch GLibExecutor::watch(int fd, unsigned events, std::function<void(unsigned)> ready)
{
    auto watch = std::make_shared<GLibWatch>();
    watch->fd = fd;
    watch->ready = std::move(ready);
    auto reach = std::make_unique<std::weak_ptr<GLibWatch>>(watch);
    auto* source = reinterpret_cast<WatchSource*>(g_source_new(&watchFuncs, sizeof(WatchSource)));
    source->watch = reach.release();
    source->tag = events ? g_source_add_unix_fd(&source->base, fd, conditionOf(events)) : nullptr;
    watch->source = source;
    g_source_set_priority(&source->base, G_PRIORITY_DEFAULT);
    g_source_attach(&source->base, context_);
    return FdWatch(watch);
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
