// What every executor promises, checked on the real queue and on the virtual-time one alike.
#include <gtest/gtest.h>

#include <future>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "base/DispatchQueue.h"
#include "support/ManualExecutor.h"

namespace orvanta::base {
namespace {

using namespace std::chrono_literals;
using testing::ManualExecutor;

// A real queue runs by itself: holding it back means blocking it with a task.
struct QueueRig {
    std::latch released{1};  // outlives the queue, whose task may still be leaving its wait
    DispatchQueue executor{"test.executor"};

    template <class F>
    auto fromOtherThread(F fn) {
        return std::async(std::launch::async, std::move(fn)).get();
    }
    void holdBack() {
        executor.async([this] { released.wait(); });
    }
    void awaitPost() {}  // nothing shows a post on a real queue; a sync posted late throws at once
    void release() { released.count_down(); }
};

// A virtual-time executor runs only when the test drives it.
struct ManualRig {
    ManualExecutor executor;

    template <class F>
    auto fromOtherThread(F fn) {
        std::atomic<bool> finished = false;
        auto result = std::async(std::launch::async, [&] {
            struct Finish {
                ManualRig& rig;
                std::atomic<bool>& finished;
                ~Finish() {
                    finished = true;
                    rig.executor.async([] {});  // wakes the runner to see it
                }
            } finish{*this, finished};
            return fn();
        });
        EXPECT_TRUE(executor.runUntil([&] { return finished.load(); }));
        return result.get();
    }
    void holdBack() {}
    void awaitPost() {
        while (executor.pendingCount() == 0) std::this_thread::yield();
    }
    void release() {}
};

template <class Rig>
class ExecutorTest : public ::testing::Test {
protected:
    Rig rig;
};

struct RigNames {
    template <class Rig>
    static std::string GetName(int) {
        return std::is_same_v<Rig, QueueRig> ? "DispatchQueue" : "ManualExecutor";
    }
};

using Rigs = ::testing::Types<QueueRig, ManualRig>;
TYPED_TEST_SUITE(ExecutorTest, Rigs, RigNames);

TYPED_TEST(ExecutorTest, SyncHandsBackResultsAndErrorsAndRefusesItsOwnExecutor) {
    Executor& executor = this->rig.executor;
    auto seen = this->rig.fromOtherThread([&] {
        std::vector<std::string> out;
        out.push_back(std::to_string(executor.sync([&] { return executor.isCurrent() ? 42 : 0; })));
        try {
            executor.sync([]() -> int { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error& error) {
            out.emplace_back(error.what());
        }
        executor.sync([&] {
            try {
                executor.sync([] {});
            } catch (const std::logic_error&) {
                out.emplace_back("refused");
            }
        });
        return out;
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"42", "boom", "refused"}));
}

TYPED_TEST(ExecutorTest, StoppingWakesAPendingSyncWithAnErrorAndRefusesLaterOnes) {
    this->rig.holdBack();
    auto pending = std::async(std::launch::async, [&] { return this->rig.executor.sync([] { return 1; }); });
    this->rig.awaitPost();
    this->rig.executor.stop();
    this->rig.release();
    EXPECT_THROW(pending.get(), ExecutorStopped);
    EXPECT_THROW(this->rig.executor.sync([] {}), ExecutorStopped);
}

TYPED_TEST(ExecutorTest, CancellingReleasesTheTaskAndItsCapturesAtOnce) {
    Executor& executor = this->rig.executor;
    auto once = std::make_shared<int>(0);
    auto timer = std::make_shared<int>(0);
    const std::weak_ptr<int> onceWatch = once, timerWatch = timer;
    TaskHandle onceHandle = executor.asyncAfter(1h, [once = std::move(once)] {});
    TaskHandle timerHandle = executor.repeating(1h, [timer = std::move(timer)] {});
    onceHandle.cancel();
    timerHandle.cancel();
    EXPECT_TRUE(onceWatch.expired());
    EXPECT_TRUE(timerWatch.expired());
}

TEST(RepeatingTimer, NextTickIsTheFirstPointOfItsGridAfterNow) {
    struct Case {
        std::uint64_t due, now, next;
    };
    for (const Case& c :
         {Case{10, 10, 20}, Case{10, 19, 20}, Case{10, 20, 30}, Case{10, 225, 230}, Case{30, 230, 240}}) {
        EXPECT_EQ(nextTickAfter<std::uint64_t>(c.due, 10, c.now), c.next) << c.due << " " << c.now;
    }
}

}  // namespace
}  // namespace orvanta::base
