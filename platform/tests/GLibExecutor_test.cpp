// The main-loop executor: work posted from other threads runs on the loop's
// thread, in order and never inline; cancelled timers never run.
#include "platform/GLibExecutor.h"

#include <gtest/gtest.h>

#include <thread>

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

}
}
