#include "support/ManualExecutor.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;

TEST(ManualExecutor, RunsDelayedTasksInDueOrderOnVirtualTime) {
    ManualExecutor executor(0);
    std::vector<std::pair<std::string, std::uint64_t>> seen;
    auto record = [&](std::string name) { return [&, name] { seen.emplace_back(name, executor.nowMicros()); }; };
    executor.asyncAfter(300ms, record("c"));
    executor.asyncAfter(100ms, record("a"));
    executor.asyncAfter(100ms, record("b"));  // same due time: submission order
    executor.async(record("now"));

    EXPECT_EQ(executor.advance(99ms), 1u);
    EXPECT_EQ(executor.advance(1ms), 2u);
    EXPECT_EQ(executor.nowMicros(), 100'000u);
    executor.advance(1s);
    EXPECT_EQ(executor.nowMicros(), 1'100'000u);
    using Seen = std::vector<std::pair<std::string, std::uint64_t>>;
    EXPECT_EQ(seen, (Seen{{"now", 0}, {"a", 100'000}, {"b", 100'000}, {"c", 300'000}}));
}

TEST(ManualExecutor, TasksPostedByTasksRunAtTheirOwnTime) {
    ManualExecutor executor(0);
    std::vector<std::uint64_t> times;
    executor.asyncAfter(10ms, [&] {
        times.push_back(executor.nowMicros());
        executor.asyncAfter(10ms, [&] { times.push_back(executor.nowMicros()); });
        executor.async([&] { times.push_back(executor.nowMicros()); });
    });
    executor.advance(1s);
    EXPECT_EQ(times, (std::vector<std::uint64_t>{10'000, 10'000, 20'000}));
}

TEST(ManualExecutor, CancelledTasksAndTimersNeverRun) {
    ManualExecutor executor;
    int runs = 0;
    auto once = executor.asyncAfter(5ms, [&] { ++runs; });
    auto timer = executor.repeating(1ms, [&] { ++runs; });
    once.cancel();
    executor.advance(3ms);
    EXPECT_EQ(runs, 3);
    timer.cancel();
    executor.advance(1s);
    EXPECT_EQ(runs, 3);
    EXPECT_EQ(executor.pendingCount(), 0u);
}

TEST(ManualExecutor, RepeatingTimerKeepsItsScheduleWhenTasksRunLate) {
    ManualExecutor executor(0);
    std::vector<std::uint64_t> ticks;
    executor.repeating(250ms, [&] { ticks.push_back(executor.nowMicros()); });
    executor.advance(1s);
    EXPECT_EQ(ticks, (std::vector<std::uint64_t>{250'000, 500'000, 750'000, 1'000'000}));
}

TEST(ManualExecutor, IsCurrentOnlyInsideItsTasks) {
    ManualExecutor executor;
    bool inside = false;
    executor.async([&] { inside = executor.isCurrent(); });
    EXPECT_FALSE(executor.isCurrent());
    executor.runUntilIdle();
    EXPECT_TRUE(inside);
}

TEST(ManualExecutor, RunUntilPicksUpPostsFromOtherThreads) {
    ManualExecutor executor;
    bool done = false;
    std::thread other([&] { executor.async([&] { done = true; }); });
    EXPECT_TRUE(executor.runUntil([&] { return done; }));
    other.join();
    EXPECT_FALSE(executor.runUntil([] { return false; }, 10ms));
}

}  // namespace
}  // namespace orvanta::testing
