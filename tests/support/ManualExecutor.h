// An Executor on virtual time, for tests of timeouts, deadlines and back-off. Tasks run only when
// the test calls advance, runUntilIdle or runUntil, on the test's thread. Other threads (socket
// completions, for example) may post into it; runUntil wakes for such posts.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "base/Clock.h"
#include "base/Executor.h"
#include "base/SyncWaiters.h"

namespace orvanta::testing {

// A clock that moves only when told.
class ManualClock final : public base::Clock {
public:
    explicit ManualClock(std::uint64_t startMicros = 1'000'000) : now_(startMicros) {}
    std::uint64_t uptimeMicros() const override { return now_.load(); }
    void set(std::uint64_t micros) { now_.store(micros); }
    void advance(base::Micros delta) { now_.fetch_add(static_cast<std::uint64_t>(delta.count())); }

private:
    std::atomic<std::uint64_t> now_;
};

class ManualExecutor final : public base::Executor {
public:
    explicit ManualExecutor(std::uint64_t startMicros = 1'000'000) : clock_(startMicros) {}
    // Stops: threads waiting in sync wake with ExecutorStopped.
    ~ManualExecutor() override;

    void async(base::Task task) override;
    base::TaskHandle asyncAfter(base::Micros delay, base::Task task) override;
    base::TaskHandle repeating(base::Micros interval, base::Task task) override;
    bool isCurrent() const override;

    // The executor's virtual time, advanced together with the tasks.
    const ManualClock& clock() const { return clock_; }
    std::uint64_t nowMicros() const { return clock_.uptimeMicros(); }

    // Runs every task that is due now, including tasks those tasks post, until none is left.
    // Returns the number of tasks run.
    std::size_t runUntilIdle();
    // Moves virtual time forward by `delta`, running each delayed task at its due time in order.
    std::size_t advance(base::Micros delta);
    // Runs due tasks, waiting in real time for posts from other threads, until `done` holds or
    // `realLimit` passes; the limit only guards a broken test. Returns whether `done` held.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds realLimit = std::chrono::seconds(10));

    // Called from a task: the task takes `duration` of virtual time, as a slow task or a blocked
    // queue would. Timers that fall due meanwhile run once it returns.
    void consume(base::Micros duration);

    // Drops pending tasks and timers and every later one; threads waiting in sync wake with
    // ExecutorStopped, as when a queue shuts down.
    void stop();

    std::size_t pendingCount() const;

protected:
    // From another thread, waits until the test's runner runs the job. From the thread that
    // created the executor (the test's own, outside a task), runs the tasks ahead of the job and
    // the job there, without moving virtual time.
    void runAndWait(const base::Task& job) override;

private:
    struct Timed {
        std::shared_ptr<base::ScheduledTask> task;
        base::Micros interval{0};  // non-zero for a repeating timer
    };

    bool runOne(std::uint64_t limitMicros);
    void schedule(std::uint64_t due, Timed timed);
    bool hasDueLocked() const;

    ManualClock clock_;
    const std::thread::id owner_ = std::this_thread::get_id();
    const std::shared_ptr<base::SyncWaiters> waiters_ = std::make_shared<base::SyncWaiters>();
    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<base::Task> ready_;
    std::multimap<std::pair<std::uint64_t, std::uint64_t>, Timed> timed_;  // (due, order) -> task
    std::uint64_t order_ = 0;
    std::thread::id runner_;
    bool stopped_ = false;
};

}  // namespace orvanta::testing
