#include "support/ManualExecutor.h"

#include <stdexcept>

namespace orvanta::testing {

ManualExecutor::~ManualExecutor() { stop(); }

void ManualExecutor::async(base::Task task) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        ready_.push_back(std::move(task));
    }
    posted_.notify_all();
}

void ManualExecutor::schedule(std::uint64_t due, Timed timed) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        timed_.emplace(std::pair{due, order_++}, std::move(timed));
    }
    posted_.notify_all();  // a task due now, posted from another thread, is for a waiting runUntil
}

base::TaskHandle ManualExecutor::asyncAfter(base::Micros delay, base::Task task) {
    auto scheduled = std::make_shared<base::ScheduledTask>(std::move(task));
    schedule(nowMicros() + static_cast<std::uint64_t>(std::max<std::int64_t>(delay.count(), 0)), Timed{scheduled});
    return base::TaskHandle(scheduled);
}

base::TaskHandle ManualExecutor::repeating(base::Micros interval, base::Task task) {
    auto scheduled = std::make_shared<base::ScheduledTask>(std::move(task));
    const base::Micros period = std::max(interval, base::Micros(1));
    schedule(nowMicros() + static_cast<std::uint64_t>(period.count()), Timed{scheduled, period});
    return base::TaskHandle(scheduled);
}

bool ManualExecutor::isCurrent() const {
    std::lock_guard lock(mutex_);
    return runner_ == std::this_thread::get_id();
}

bool ManualExecutor::hasDueLocked() const {
    if (!ready_.empty()) return true;
    for (const auto& [key, timed] : timed_) {
        if (key.first > clock_.uptimeMicros()) return false;
        if (!timed.task->isCancelled()) return true;
    }
    return false;
}

// Runs the next ready task, or else the earliest delayed task due by `limitMicros`, moving the
// clock to its due time. Ready tasks go first: they were posted at the current time.
bool ManualExecutor::runOne(std::uint64_t limitMicros) {
    base::Task task;
    std::uint64_t due = 0;
    Timed timed;
    {
        std::unique_lock lock(mutex_);
        if (!ready_.empty()) {
            task = std::move(ready_.front());
            ready_.pop_front();
        } else {
            while (!timed_.empty() && timed_.begin()->second.task->isCancelled()) timed_.erase(timed_.begin());
            if (timed_.empty() || timed_.begin()->first.first > limitMicros) return false;
            auto node = timed_.extract(timed_.begin());
            due = node.key().first;
            timed = std::move(node.mapped());
            // A task that consumed time may leave the clock past `due`; it never goes back.
            if (due > clock_.uptimeMicros()) clock_.set(due);
        }
        runner_ = std::this_thread::get_id();
    }
    const bool repeat = timed.interval.count() > 0;
    if (task) {
        task();
    } else if (timed.task->run(repeat) && repeat) {
        const auto interval = static_cast<std::uint64_t>(timed.interval.count());
        schedule(base::nextTickAfter(due, interval, nowMicros()), std::move(timed));
    }
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
    // A task that consumed time beyond the target makes everything due by then overdue.
    while (runOne(std::max(target, nowMicros()))) ++count;
    if (nowMicros() < target) clock_.set(target);
    return count;
}

bool ManualExecutor::runUntil(const std::function<bool()>& done, std::chrono::milliseconds realLimit) {
    const auto deadline = std::chrono::steady_clock::now() + realLimit;
    while (true) {
        runUntilIdle();
        if (done()) return true;
        {
            std::unique_lock lock(mutex_);
            posted_.wait_until(lock, deadline, [this] { return hasDueLocked(); });
        }
        // Past the limit, a post that came without waking us is not run: that is the broken test.
        if (std::chrono::steady_clock::now() >= deadline) return done();
    }
}

void ManualExecutor::consume(base::Micros duration) {
    if (!isCurrent()) throw std::logic_error("ManualExecutor::consume called outside its tasks");
    clock_.advance(duration);
}

void ManualExecutor::stop() {
    waiters_->stop();
    std::deque<base::Task> ready;
    std::multimap<std::pair<std::uint64_t, std::uint64_t>, Timed> timed;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        ready.swap(ready_);
        timed.swap(timed_);
    }
    // Destroyed here, outside the lock: captures may post on their way out.
}

void ManualExecutor::runAndWait(const base::Task& job) {
    if (isCurrent()) throw std::logic_error("sync called from a task of its own ManualExecutor");
    if (std::this_thread::get_id() != owner_) {
        waiters_->runAndWait(job, [this](base::Task task) { async(std::move(task)); });
        return;
    }
    bool ran = false;
    async([&] {
        job();
        ran = true;
    });
    while (!ran && runOne(nowMicros())) {
    }
    if (!ran) throw base::ExecutorStopped("ManualExecutor stopped before running a synchronous call");
}

std::size_t ManualExecutor::pendingCount() const {
    std::lock_guard lock(mutex_);
    std::size_t live = ready_.size();
    for (const auto& [key, timed] : timed_) live += timed.task->isCancelled() ? 0 : 1;
    return live;
}

}  // namespace orvanta::testing
