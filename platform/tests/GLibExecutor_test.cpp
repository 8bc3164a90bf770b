// The main-loop executor: work posted from other threads runs on the loop's
// thread, in order and never inline; cancelled timers never run.
#include "platform/GLibExecutor.h"

#include <gtest/gtest.h>

#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace korvid {
namespace {

using namespace std::chrono_literals;

TEST(GLibExecutorTest, PostedWorkRunsLaterOnTheLoopThreadInOrder)
{
    GLibExecutor main;
    std::vector<int> order;
    main.post([&] { order.push_back(1); });
    EXPECT_TRUE(order.empty()); // never inline, even from the loop's thread
    auto loopThread = std::this_thread::get_id();
    std::vector<std::thread::id> ranOn;
    std::thread worker([&] {
        for (int i = 2; i <= 50; ++i)
            main.post([&, i] {
                order.push_back(i);
                ranOn.push_back(std::this_thread::get_id());
            });
    });
    worker.join();
    ASSERT_TRUE(main.runUntil([&] { return order.size() == 50; }, 5s));
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(order[i], i + 1);
    for (auto id : ranOn)
        EXPECT_EQ(id, loopThread);
}

TEST(GLibExecutorTest, TimersFireOnceAndCancelledOnesNever)
{
    GLibExecutor main;
    int fired = 0, cancelled = 0;
    auto kept = main.after(20ms, [&] { ++fired; });
    auto dropped = main.after(10ms, [&] { ++cancelled; });
    dropped.cancel();
    dropped.cancel(); // idempotent
    EXPECT_TRUE(main.runUntil([&] { return fired == 1; }, 2s));
    main.runUntil([] { return false; }, 50ms);
    kept.cancel(); // after firing: harmless
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(cancelled, 0);

    // A timer may cancel itself, or another, from its own work.
    TimerHandle second;
    int secondRuns = 0;
    auto first = main.after(5ms, [&] { second.cancel(); });
    second = main.after(30ms, [&] { ++secondRuns; });
    main.runUntil([] { return false; }, 80ms);
    EXPECT_EQ(secondRuns, 0);
}

TEST(GLibExecutorTest, RunUntilGivesUpAtTheTimeout)
{
    GLibExecutor main;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(main.runUntil([] { return false; }, 60ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 55ms);
}

// A pipe whose two ends close with the test.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe()
    {
        int ends[2];
        EXPECT_EQ(::pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
        read = ends[0];
        write = ends[1];
    }
    ~Pipe()
    {
        closeWrite();
        ::close(read);
    }
    void put() { EXPECT_EQ(::write(write, "x", 1), 1); }
    void closeWrite()
    {
        if (write >= 0)
            ::close(write);
        write = -1;
    }
};

TEST(GLibExecutorTest, AWatchReportsWhatItWaitsForUntilPausedOrDropped)
{
    GLibExecutor main;
    Pipe pipe;
    std::vector<unsigned> seen;
    FdWatch watch = main.watch(pipe.read, kFdReadable, [&](unsigned ready) { seen.push_back(ready); });
    main.runUntil([] { return false; }, 30ms);
    EXPECT_TRUE(seen.empty()); // nothing to read yet

    pipe.put();
    ASSERT_TRUE(main.runUntil([&] { return !seen.empty(); }, 2s));
    EXPECT_EQ(seen.front(), kFdReadable);

    // Paused, the unread byte is not reported; resumed, it is again.
    watch.change(0);
    seen.clear();
    main.runUntil([] { return false; }, 30ms);
    EXPECT_TRUE(seen.empty());
    watch.change(kFdReadable);
    ASSERT_TRUE(main.runUntil([&] { return !seen.empty(); }, 2s));

    watch.cancel();
    watch.cancel(); // idempotent
    seen.clear();
    main.runUntil([] { return false; }, 30ms);
    EXPECT_TRUE(seen.empty());

    // Waiting for room to write is reported at once on an empty pipe.
    std::vector<unsigned> writable;
    FdWatch out = main.watch(pipe.write, kFdWritable, [&](unsigned ready) { writable.push_back(ready); });
    ASSERT_TRUE(main.runUntil([&] { return !writable.empty(); }, 2s));
    EXPECT_EQ(writable.front(), kFdWritable);
}

TEST(GLibExecutorTest, AHangUpIsReportedAndAWatchMayDropItselfFromItsCallback)
{
    GLibExecutor main;
    Pipe pipe;
    int calls = 0;
    unsigned last = 0;
    auto watch = std::make_unique<FdWatch>();
    *watch = main.watch(pipe.read, kFdReadable, [&](unsigned ready) {
        ++calls;
        last = ready;
        watch.reset(); // the callback's own state must outlive this call
    });
    pipe.closeWrite();
    ASSERT_TRUE(main.runUntil([&] { return calls > 0; }, 2s));
    EXPECT_TRUE(last & kFdFailed);
    main.runUntil([] { return false; }, 30ms);
    EXPECT_EQ(calls, 1); // dropped: a hang-up that stays is not reported again
}

}
}
