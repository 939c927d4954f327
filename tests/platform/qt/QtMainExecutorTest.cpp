// The Qt GUI thread as the main executor, under the real event loop. Timers run on real time here:
// the checks are lower bounds and orders, with one generous bound on the repeating grid.
#include "platform/qt/QtMainExecutor.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/QtGuiApp.h"

namespace orvanta::platform::qt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Runs the GUI thread's events until `done` holds; the limit only guards a broken test.
bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    const auto until = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > until) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

class QtMainExecutorTest : public ::testing::Test {
protected:
    QtMainExecutorTest() { testing::qtGuiApp(); }
};

TEST_F(QtMainExecutorTest, RunsTasksInOrderNeverInline) {
    QtMainExecutor main;
    EXPECT_TRUE(main.isCurrent());
    std::vector<int> order;
    main.async([&] {
        order.push_back(1);
        main.async([&] { order.push_back(3); });
    });
    main.async([&] { order.push_back(2); });
    EXPECT_TRUE(order.empty());
    ASSERT_TRUE(spinUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(QtMainExecutorTest, DelayedTasksRunNoEarlierThanAskedAndCancelReleasesAtOnce) {
    QtMainExecutor main;
    const auto start = Clock::now();
    std::vector<std::string> ran;
    Clock::time_point late{};
    main.asyncAfter(40ms, [&] {
        ran.push_back("late");
        late = Clock::now();
    });
    main.asyncAfter(10ms, [&] { ran.push_back("early"); });
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    auto cancelled = main.asyncAfter(20ms, [held = std::move(held), &ran] { ran.push_back("cancelled"); });
    cancelled.cancel();
    EXPECT_TRUE(watch.expired()) << "the task's captures go with the cancel";
    ASSERT_TRUE(spinUntil([&] { return ran.size() == 2; }));
    EXPECT_EQ(ran, (std::vector<std::string>{"early", "late"}));
    EXPECT_GE(late - start, 40ms);
    spinUntil([] { return false; }, 50ms);
    EXPECT_EQ(ran.size(), 2u);
}

// A tick that runs late keeps the grid: the next comes at the next grid point, not a whole
// interval after the late one, and the ticks missed meanwhile are not run in a burst.
TEST_F(QtMainExecutorTest, RepeatingTimersKeepTheirGrid) {
    QtMainExecutor main;
    constexpr auto interval = 300ms;
    const auto start = Clock::now();
    std::vector<Clock::duration> ticks;
    auto timer = main.repeating(interval, [&] {
        ticks.push_back(Clock::now() - start);
        if (ticks.size() == 1) {
            // The thread is busy past the next grid point, up to half an interval after it.
            main.async([&] {
                while (Clock::now() - start < 2 * interval + interval / 2) {
                }
            });
        }
    });
    ASSERT_TRUE(spinUntil([&] { return ticks.size() == 3; }));
    timer.cancel();
    EXPECT_GE(ticks[0], interval);
    EXPECT_GE(ticks[1], 2 * interval + interval / 2) << "the late tick runs once, after the busy spell";
    EXPECT_GE(ticks[2], 3 * interval);
    EXPECT_LT(ticks[2] - ticks[1], interval - 10ms) << "a late tick does not move its successor";
    spinUntil([] { return false; }, 400ms);
    EXPECT_EQ(ticks.size(), 3u) << "cancelled";
}

TEST_F(QtMainExecutorTest, SyncRunsOnTheGuiThreadFromAnother) {
    QtMainExecutor main;
    EXPECT_THROW(main.sync([] { return 0; }), std::logic_error);
    std::atomic<bool> finished = false;
    std::thread::id ranOn;
    int answer = 0;
    std::string thrown;
    std::thread worker([&] {
        answer = main.sync([&] {
            ranOn = std::this_thread::get_id();
            return 42;
        });
        try {
            main.sync([]() -> int { throw std::runtime_error("from the job"); });
        } catch (const std::runtime_error& error) {
            thrown = error.what();
        }
        auto later = main.asyncAfter(1ms, [&] { finished = true; });
        (void)later;
    });
    ASSERT_TRUE(spinUntil([&] { return finished.load(); }));
    worker.join();
    EXPECT_EQ(answer, 42);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(thrown, "from the job");
}

TEST_F(QtMainExecutorTest, DestroyingDropsPendingWorkWithItsCaptures) {
    auto main = std::make_unique<QtMainExecutor>();
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    bool ran = false;
    main->async([&ran, held] { ran = true; });
    main->repeating(1ms, [&ran, held] { ran = true; });
    std::thread([&] { main->asyncAfter(1ms, [&ran, held] { ran = true; }); }).join();
    held.reset();
    main.reset();
    EXPECT_TRUE(watch.expired());
    spinUntil([] { return false; }, 30ms);
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace orvanta::platform::qt
