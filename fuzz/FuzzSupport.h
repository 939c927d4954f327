// Small stand-ins for the harnesses: an executor whose queued tasks run when drained, with timers
// that never come due (a harness has no time), and a clock that steps on every reading.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "base/Clock.h"
#include "base/Executor.h"

namespace orvanta::fuzzing {

class DrainedExecutor final : public base::Executor {
public:
    void async(base::Task task) override { tasks_.push_back(std::move(task)); }
    base::TaskHandle asyncAfter(base::Micros, base::Task task) override { return keep(std::move(task)); }
    base::TaskHandle repeating(base::Micros, base::Task task) override { return keep(std::move(task)); }
    bool isCurrent() const override { return true; }

    // Runs what is queued, and what those tasks queue, in order.
    void drain() {
        while (!tasks_.empty()) {
            base::Task task = std::move(tasks_.front());
            tasks_.pop_front();
            task();
        }
    }

protected:
    void runAndWait(const base::Task& job) override { job(); }

private:
    static base::TaskHandle keep(base::Task task) {
        return base::TaskHandle(std::make_shared<base::ScheduledTask>(std::move(task)));
    }

    std::deque<base::Task> tasks_;
};

class SteppingClock final : public base::Clock {
public:
    explicit SteppingClock(std::uint64_t stepMicros) : step_(stepMicros) {}
    std::uint64_t uptimeMicros() const override { return now_ += step_; }

private:
    std::uint64_t step_;
    mutable std::uint64_t now_ = 0;
};

}  // namespace orvanta::fuzzing
