#include "support/ManualExecutor.h"

#include <gtest/gtest.h>

#include <future>
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

// A 10 ms timer whose executor is held for 200 ms by one task runs one late tick, then carries on
// at the next multiple of 10 ms from its start.
TEST(ManualExecutor, RepeatingTimerTicksOnceAfterABusySpellAndKeepsItsPhase) {
    ManualExecutor executor(0);
    std::vector<std::uint64_t> ticks;
    executor.repeating(10ms, [&] { ticks.push_back(executor.nowMicros()); });
    executor.asyncAfter(25ms, [&] { executor.consume(200ms); });
    executor.advance(250ms);
    EXPECT_EQ(ticks, (std::vector<std::uint64_t>{10'000, 20'000, 225'000, 230'000, 240'000, 250'000}));
    EXPECT_EQ(executor.nowMicros(), 250'000u);
}

TEST(ManualExecutor, CancellingATimerFromItsOwnTaskReleasesItAfterTheRun) {
    ManualExecutor executor(0);
    auto token = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = token;
    int runs = 0;
    base::TaskHandle timer;
    timer = executor.repeating(10ms, [&, token = std::move(token)] {
        ++runs;
        timer.cancel();
        EXPECT_FALSE(watch.expired());  // a running task keeps what it holds until it returns
    });
    executor.advance(1s);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(watch.expired());
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

TEST(ManualExecutor, RunUntilWakesForATaskDueNowPostedFromAnotherThread) {
    ManualExecutor executor;
    bool done = false;
    std::thread other([&] { executor.asyncAfter(0ms, [&] { done = true; }); });
    EXPECT_TRUE(executor.runUntil([&] { return done; }, 5s));
    other.join();
}

// The test's own thread drives the executor, so its sync runs what is queued ahead of the job and
// the job right there; virtual time stands still.
TEST(ManualExecutor, SyncFromTheTestThreadRunsTheQueueUpToTheJob) {
    ManualExecutor executor(0);
    std::vector<std::string> seen;
    executor.async([&] { seen.emplace_back("ahead"); });
    executor.asyncAfter(1ms, [&] { seen.emplace_back("later"); });
    EXPECT_EQ(executor.sync([&] { return executor.isCurrent(); }), true);
    EXPECT_EQ(seen, (std::vector<std::string>{"ahead"}));
    EXPECT_EQ(executor.nowMicros(), 0u);
}

TEST(ManualExecutor, DestroyingItWakesAPendingSyncWithAnError) {
    auto executor = std::make_unique<ManualExecutor>();
    auto pending = std::async(std::launch::async, [&executor] { return executor->sync([] { return 1; }); });
    while (executor->pendingCount() == 0) std::this_thread::yield();
    executor.reset();
    EXPECT_THROW(pending.get(), base::ExecutorStopped);
}

TEST(ManualExecutor, ConsumeBelongsInsideItsTasks) {
    ManualExecutor executor;
    EXPECT_THROW(executor.consume(1ms), std::logic_error);
}

}  // namespace
}  // namespace orvanta::testing
