#include "support/ManualExecutor.h"

namespace orvanta::testing {

void ManualExecutor::async(base::Task task) {
    {
        std::lock_guard lock(mutex_);
        ready_.push_back(std::move(task));
    }
    posted_.notify_all();
}

void ManualExecutor::schedule(std::uint64_t due, Timed timed) {
    std::lock_guard lock(mutex_);
    timed_.emplace(std::pair{due, order_++}, std::move(timed));
}

base::TaskHandle ManualExecutor::asyncAfter(base::Micros delay, base::Task task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    schedule(nowMicros() + static_cast<std::uint64_t>(std::max<std::int64_t>(delay.count(), 0)),
             Timed{std::make_shared<base::Task>(std::move(task)), cancelled});
    return base::TaskHandle(cancelled);
}

base::TaskHandle ManualExecutor::repeating(base::Micros interval, base::Task task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    schedule(nowMicros() + static_cast<std::uint64_t>(interval.count()), Timed{std::make_shared<base::Task>(std::move(task)), cancelled, interval});
    return base::TaskHandle(cancelled);
}

bool ManualExecutor::isCurrent() const {
    std::lock_guard lock(mutex_);
    return runner_ == std::this_thread::get_id();
}

// Runs the next ready task, or else the earliest delayed task due by `limitMicros`, moving the
// clock to its due time. Ready tasks go first: they were posted at the current time.
bool ManualExecutor::runOne(std::uint64_t limitMicros) {
    base::Task task;
    {
        std::unique_lock lock(mutex_);
        if (!ready_.empty()) {
            task = std::move(ready_.front());
            ready_.pop_front();
        } else {
            while (!timed_.empty() && timed_.begin()->second.cancelled->load()) timed_.erase(timed_.begin());
            if (timed_.empty() || timed_.begin()->first.first > limitMicros) return false;
            auto node = timed_.extract(timed_.begin());
            std::uint64_t due = node.key().first;
            Timed& timed = node.mapped();
            if (due > clock_.uptimeMicros()) clock_.set(due);
            task = [shared = timed.task, cancelled = timed.cancelled] {
                if (!cancelled->load()) (*shared)();
            };
            if (timed.interval.count() > 0) {
                timed_.emplace(std::pair{due + static_cast<std::uint64_t>(timed.interval.count()), order_++},
                               std::move(timed));
            }
        }
        runner_ = std::this_thread::get_id();
    }
    task();
    std::lock_guard lock(mutex_);
    runner_ = {};
    return true;
}

std::size_t ManualExecutor::runUntilIdle() {
    std::size_t count = 0;
    while (runOne(nowMicros())) ++count;
    return count;
}

std::size_t ManualExecutor::advance(base::Micros delta) {
    const std::uint64_t target = nowMicros() + static_cast<std::uint64_t>(delta.count());
    std::size_t count = 0;
    while (runOne(target)) ++count;
    clock_.set(target);
    return count;
}

bool ManualExecutor::runUntil(const std::function<bool()>& done, std::chrono::milliseconds realLimit) {
    const auto deadline = std::chrono::steady_clock::now() + realLimit;
    while (true) {
        runUntilIdle();
        if (done()) return true;
        std::unique_lock lock(mutex_);
        if (!posted_.wait_until(lock, deadline, [this] { return !ready_.empty(); })) return done();
    }
}

std::size_t ManualExecutor::pendingCount() const {
    std::lock_guard lock(mutex_);
    std::size_t live = ready_.size();
    for (const auto& [key, timed] : timed_) live += timed.cancelled->load() ? 0 : 1;
    return live;
}

}  // namespace orvanta::testing
