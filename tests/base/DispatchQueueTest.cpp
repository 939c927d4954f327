#include "base/DispatchQueue.h"

#include <gtest/gtest.h>

#include <latch>
#include <mutex>
#include <vector>

namespace orvanta::base {
namespace {

using namespace std::chrono_literals;

TEST(DispatchQueue, RunsTasksInSubmissionOrderOneAtATime) {
    DispatchQueue queue("test.order");
    std::vector<int> seen;
    for (int i = 0; i < 100; ++i) queue.async([&seen, i] { seen.push_back(i); });
    queue.sync([] {});
    std::vector<int> expected(100);
    for (int i = 0; i < 100; ++i) expected[i] = i;
    EXPECT_EQ(seen, expected);
}

TEST(DispatchQueue, SyncReturnsValuesAndExceptionsAndRefusesItsOwnQueue) {
    DispatchQueue queue("test.sync");
    EXPECT_EQ(queue.sync([] { return 42; }), 42);
    EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
    bool refused = queue.sync([&queue] {
        try {
            queue.sync([] {});
        } catch (const std::logic_error&) {
            return true;
        }
        return false;
    });
    EXPECT_TRUE(refused);
}

TEST(DispatchQueue, KnowsWhetherItIsCurrent) {
    DispatchQueue queue("test.current");
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_TRUE(queue.sync([&queue] { return queue.isCurrent(); }));
}

// Real timers fire only after their delay; the ordering and cancellation rules are what is checked
// here, the exact timing belongs to ManualExecutor tests.
TEST(DispatchQueue, DelayedTasksRunAfterImmediateOnesAndCanBeCancelled) {
    DispatchQueue queue("test.after");
    std::mutex mutex;
    std::vector<std::string> seen;
    auto record = [&](std::string what) {
        std::lock_guard lock(mutex);
        seen.push_back(std::move(what));
    };
    std::latch done(1);
    // The queue is held while the task is cancelled, so a slow test thread cannot let it run first.
    std::latch held(1);
    queue.async([&] { held.wait(); });
    TaskHandle cancelled = queue.asyncAfter(1ms, [&] { record("cancelled"); });
    cancelled.cancel();
    held.count_down();
    queue.async([&] { record("now"); });
    queue.asyncAfter(2ms, [&] {
        record("late");
        done.count_down();
    });
    done.wait();
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, (std::vector<std::string>{"now", "late"}));
}

TEST(DispatchQueue, RepeatingTimerRunsUntilCancelled) {
    DispatchQueue queue("test.repeat");
    std::atomic<int> ticks = 0;
    std::latch three(1);
    TaskHandle timer = queue.repeating(1ms, [&] {
        if (++ticks == 3) three.count_down();
    });
    three.wait();
    timer.cancel();
    int atCancel = queue.sync([&] { return ticks.load(); });
    // Anything the timer had already queued is discarded once cancelled.
    queue.sync([] {});
    EXPECT_EQ(ticks.load(), atCancel);
}

// A queue held up through many ticks of its timer runs one of them, not the backlog: the third
// tick after the hold is at least a whole interval later, where a burst would put it at once.
TEST(DispatchQueue, RepeatingTimerTicksOnceAfterABusySpell) {
    constexpr auto kInterval = 20ms;
    DispatchQueue queue("test.busy");
    DispatchQueue alarm("test.alarm");
    std::latch elapsed(1);
    std::latch three(1);
    std::chrono::steady_clock::time_point resumed;
    std::vector<std::chrono::steady_clock::time_point> after;
    TaskHandle timer = queue.repeating(kInterval, [&] {
        if (resumed == std::chrono::steady_clock::time_point{}) return;
        after.push_back(std::chrono::steady_clock::now());
        if (after.size() == 3) three.count_down();
    });
    alarm.asyncAfter(10 * kInterval, [&] { elapsed.count_down(); });
    queue.async([&] {
        elapsed.wait();
        resumed = std::chrono::steady_clock::now();
    });
    three.wait();
    timer.cancel();
    queue.sync([] {});
    EXPECT_GE(after[2] - resumed, kInterval);
}

#ifndef NDEBUG
TEST(DispatchQueue, CycleOfSynchronousWaitsIsAnErrorNamingTheQueues) {
    DispatchQueue host("test.cycle.host");
    DispatchQueue display("test.cycle.display");
    const std::string message = host.sync([&] {
        return display.sync([&] {
            try {
                host.sync([] {});
            } catch (const std::logic_error& error) {
                return std::string(error.what());
            }
            return std::string();
        });
    });
    EXPECT_NE(message.find("test.cycle.display -> test.cycle.host -> test.cycle.display"), std::string::npos)
        << message;
    // The waits are forgotten once over: the same hops without the cycle go through.
    EXPECT_EQ(host.sync([&] { return display.sync([] { return 7; }); }), 7);
}

// A wait is over when its job has run, not when the waiting thread wakes: a task that the job
// left behind may hop back into the waiting queue at once. The waking thread races that task, so
// the hops are repeated to give a wait recorded too long many chances to show.
TEST(DispatchQueue, FinishedSynchronousWaitIsNoCycle) {
    DispatchQueue host("test.after.host");
    DispatchQueue display("test.after.display");
    std::vector<std::string> alarms;
    for (int round = 0; round < 300; ++round) {
        display.sync([&] {
            host.sync([&] {
                host.async([&] {
                    try {
                        display.sync([] {});
                    } catch (const std::logic_error& error) {
                        alarms.emplace_back(error.what());
                    }
                });
            });
        });
        host.sync([] {});
    }
    ASSERT_TRUE(alarms.empty()) << alarms.size() << " false alarms, the first: " << alarms.front();
}
#endif

TEST(DispatchQueue, CanBeDestroyedByItsOwnTask) {
    auto queue = std::make_unique<DispatchQueue>("test.self");
    std::latch gone(1);
    DispatchQueue* raw = queue.get();
    raw->async([&queue, &gone] {
        queue.reset();
        gone.count_down();
    });
    gone.wait();
    EXPECT_EQ(queue, nullptr);
}

}  // namespace
}  // namespace orvanta::base
