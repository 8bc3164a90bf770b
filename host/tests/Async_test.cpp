#include "host/Async.h"

#include <gtest/gtest.h>
#include <future>
#include <thread>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/lsan_interface.h>
#define KORVID_LSAN 1
#endif
#endif

namespace korvid {
namespace {

Task<int> answer(int value)
{
    co_return value;
}

Task<int> failing()
{
    throw DesktopError("失败了。");
    co_return 0;
}

Task<int> sum(Executor& worker, Executor& main)
{
    int a = co_await answer(20);
    int b = co_await runOn(worker, main, [] { return 22; });
    co_return a + b;
}

Task<std::string> rethrows()
{
    try {
        co_await failing();
    } catch (const DesktopError& error) {
        co_return "caught " + error.message;
    }
    co_return "not caught";
}

template <class T> struct Outcome {
    int calls = 0;
    std::optional<T> value;
    std::optional<std::string> error;
};

template <class T> std::shared_ptr<Outcome<T>> start(Executor& main, Task<T> task)
{
    auto outcome = std::make_shared<Outcome<T>>();
    spawn(main, std::move(task), [outcome](std::optional<T> value, std::exception_ptr error) {
        ++outcome->calls;
        outcome->value = std::move(value);
        if (error)
            outcome->error = describe(error);
    });
    return outcome;
}

TEST(Async, SpawnStartsLaterAndReportsOnce)
{
    ManualExecutor main;
    auto outcome = start(main, answer(7));
    EXPECT_EQ(outcome->calls, 0); // not before the main loop runs it
    main.runUntilIdle();
    EXPECT_EQ(outcome->calls, 1);
    EXPECT_EQ(outcome->value, 7);
}

TEST(Async, ExceptionsReachTheAwaiterAndTheSpawner)
{
    ManualExecutor main;
    auto caught = start(main, rethrows());
    auto escaped = start(main, failing());
    main.runUntilIdle();
    EXPECT_EQ(caught->value, "caught 失败了。");
    EXPECT_EQ(escaped->calls, 1);
    EXPECT_FALSE(escaped->value);
    EXPECT_EQ(escaped->error, "失败了。");
}

TEST(Async, RunOnHopsToTheWorkerAndBack)
{
    ManualExecutor main;
    SerialQueue worker;
    auto outcome = start(main, sum(worker, main));
    ASSERT_TRUE(main.runUntil([&] { return outcome->calls == 1; }));
    EXPECT_EQ(outcome->value, 42);
}

Task<std::thread::id> threadOfWork(Executor& worker, Executor& main, std::thread::id* resumedOn)
{
    auto id = co_await runOn(worker, main, [] { return std::this_thread::get_id(); });
    *resumedOn = std::this_thread::get_id();
    co_return id;
}

TEST(Async, WorkRunsOffTheMainThreadAndResumesOnIt)
{
    ManualExecutor main;
    BackgroundPool pool(2);
    std::thread::id resumedOn;
    auto outcome = start(main, threadOfWork(pool, main, &resumedOn));
    ASSERT_TRUE(main.runUntil([&] { return outcome->calls == 1; }));
    EXPECT_NE(*outcome->value, std::this_thread::get_id());
    EXPECT_EQ(resumedOn, std::this_thread::get_id());
}

Task<void> throwsOnWorker(Executor& worker, Executor& main)
{
    co_await runOn(worker, main, [] { throw DesktopError("后台失败。"); });
}

TEST(Async, AWorkerExceptionResumesWithIt)
{
    ManualExecutor main;
    SerialQueue worker;
    std::optional<std::string> error;
    bool done = false;
    spawn(main, throwsOnWorker(worker, main), [&](std::exception_ptr thrown) {
        done = true;
        if (thrown)
            error = describe(thrown);
    });
    ASSERT_TRUE(main.runUntil([&] { return done; }));
    EXPECT_EQ(error, "后台失败。");
}

Task<int> fromChooser(Executor& main, std::function<void(std::function<void(int)>)> chooser)
{
    co_return co_await fromCallback<int>(main, std::move(chooser));
}

TEST(Async, CallbackAdapterCoversEveryWayACallbackEnds)
{
    ManualExecutor main;
    std::function<void(int)> kept;

    auto synchronous = start(main, fromChooser(main, [](auto done) { done(1); }));
    auto twice = start(main, fromChooser(main, [](auto done) {
        done(2);
        done(3);
    }));
    auto dropped = start(main, fromChooser(main, [](auto) {}));
    auto throwing = start(main, fromChooser(main, [](auto) { throw DesktopError("选择器失败。"); }));
    auto unset = start(main, fromChooser(main, nullptr));
    auto later = start(main, fromChooser(main, [&](auto done) { kept = done; }));
    main.runUntilIdle();

    EXPECT_EQ(synchronous->value, 1);
    EXPECT_EQ(twice->value, 2);
    EXPECT_EQ(twice->calls, 1);
    EXPECT_EQ(dropped->error, "操作已中断，请重试。");
    EXPECT_EQ(throwing->error, "选择器失败。");
    EXPECT_EQ(unset->error, "操作暂不可用。");
    EXPECT_EQ(later->calls, 0);

    // Completed from another thread, resumed on the main loop.
    std::thread([done = std::move(kept)] { done(9); }).join();
    kept = nullptr;
    ASSERT_TRUE(main.runUntil([&] { return later->calls == 1; }));
    EXPECT_EQ(later->value, 9);
}

TEST(Async, ADoneCallbackThatThrowsIsContained)
{
    ManualExecutor main;
    int calls = 0;
    spawn(main, answer(1), [&](std::optional<int>, std::exception_ptr) {
        ++calls;
        throw std::runtime_error("boom");
    });
    main.runUntilIdle();
    EXPECT_EQ(calls, 1);
}

TEST(Async, WorkForAnOwnerThatHasGoneIsDropped)
{
    ManualExecutor main;
    int runs = 0;
    auto owned = std::make_unique<OwnedExecutor>(main);
    owned->post([&] { ++runs; });
    main.runUntilIdle();
    owned->post([&] { ++runs; }); // posted, say, by a thread finishing late
    owned.reset();
    main.runUntilIdle();
    EXPECT_EQ(runs, 1);
}

Task<int> slowWork(Executor& worker, Executor& main, std::shared_future<void> released)
{
    co_return co_await runOn(worker, main, [released] {
        released.wait();
        return 1;
    });
}

// A bus answer or a worker that finishes after the owner of the coroutine
// has gone: dropped, without reaching into the owner's freed executor
// (AddressSanitizer checks).
TEST(Async, LateCompletionsForAnOwnerThatHasGoneAreDropped)
{
    ManualExecutor main;
    auto owned = std::make_unique<OwnedExecutor>(main);
    std::function<void(int)> kept;
    std::promise<void> release;
    std::shared_ptr<Outcome<int>> chosen;
    std::shared_ptr<Outcome<int>> worked;
    {
        BackgroundPool worker(1);
        {
#ifdef KORVID_LSAN
            // The two coroutines never resume, so their frames are never freed.
            __lsan::ScopedDisabler frames;
#endif
            chosen = start(main, fromChooser(*owned, [&](auto done) { kept = done; }));
            worked = start(main, slowWork(worker, *owned, release.get_future().share()));
            main.runUntilIdle();
        }
        ASSERT_TRUE(kept);
        owned.reset();
        kept(5);
        kept = nullptr;
        release.set_value();
    } // the worker has finished
    main.runUntilIdle();
    EXPECT_EQ(chosen->calls, 0);
    EXPECT_EQ(worked->calls, 0);

    // A poster taken earlier stays safe to call too.
    int runs = 0;
    auto again = std::make_unique<OwnedExecutor>(main);
    auto post = again->poster();
    post([&] { ++runs; });
    main.runUntilIdle();
    again.reset();
    post([&] { ++runs; });
    main.runUntilIdle();
    EXPECT_EQ(runs, 1);
}

// Keeps `frames` referenced for as long as its frame lives.
Task<int> holding(std::shared_ptr<int> frames, Task<int> inner)
{
    co_return co_await std::move(inner);
}

Task<int> resumedFrom(Executor& executor)
{
    co_await resumeOn(executor);
    co_return 3;
}

// Coroutines started on an owner and still waiting when it goes (a chooser
// that answers later, work still running, a hop to a queue that has not run)
// are freed with it, and the late completions write into no freed frame and
// resume nothing (AddressSanitizer and LeakSanitizer check).
TEST(Async, CoroutinesStartedOnAnOwnerAreFreedWithIt)
{
    ManualExecutor main;
    ManualExecutor elsewhere;
    auto owned = std::make_unique<OwnedExecutor>(main);
    auto frames = std::make_shared<int>(0);
    std::function<void(int)> kept;
    std::promise<void> release;
    std::vector<std::shared_ptr<Outcome<int>>> outcomes;
    {
        BackgroundPool worker(1);
        outcomes.push_back(start(*owned, holding(frames, fromChooser(*owned, [&](auto done) { kept = done; }))));
        outcomes.push_back(start(*owned, holding(frames, slowWork(worker, *owned, release.get_future().share()))));
        outcomes.push_back(start(*owned, holding(frames, resumedFrom(elsewhere))));
        main.runUntilIdle();
        ASSERT_TRUE(kept);
        EXPECT_EQ(frames.use_count(), 4);

        owned.reset();
        EXPECT_EQ(frames.use_count(), 1) << "a waiting coroutine outlived its owner";
        kept(5);
        kept = nullptr;
        release.set_value();
    } // the worker has finished
    main.runUntilIdle();
    elsewhere.runUntilIdle();
    for (const auto& outcome : outcomes)
        EXPECT_EQ(outcome->calls, 0);

    // One that finished is off its owner's list: the owner's end leaves it be.
    auto again = std::make_unique<OwnedExecutor>(main);
    auto finished = start(*again, holding(frames, answer(4)));
    main.runUntilIdle();
    EXPECT_EQ(finished->value, 4);
    again.reset();
    EXPECT_EQ(frames.use_count(), 1);
}

TEST(Async, AnUnstartedTaskIsFreedWithItsExecutor)
{
    int calls = 0;
    {
        ManualExecutor main;
        spawn(main, answer(1), [&](std::optional<int>, std::exception_ptr) { ++calls; });
    } // destroyed before running: the frame is freed (LeakSanitizer checks)
    EXPECT_EQ(calls, 0);
}

}
}
