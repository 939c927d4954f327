// Where a component's work runs. Components take an Executor instead of a concrete queue, so that
// tests can run them on virtual time (ManualExecutor) while the application runs them on a
// DispatchQueue or the main thread.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace orvanta::base {

using Task = std::function<void()>;
using Micros = std::chrono::microseconds;

// Cancels a delayed task or a repeating timer. Cancelling is idempotent and safe from any thread;
// a task already running finishes. Destroying the handle does not cancel.
class TaskHandle {
public:
    TaskHandle() = default;
    explicit TaskHandle(std::shared_ptr<std::atomic<bool>> cancelled) : cancelled_(std::move(cancelled)) {}

    void cancel() const {
        if (cancelled_) cancelled_->store(true);
    }
    bool isCancelled() const { return cancelled_ && cancelled_->load(); }
    explicit operator bool() const { return cancelled_ != nullptr; }

private:
    std::shared_ptr<std::atomic<bool>> cancelled_;
};

class Executor {
public:
    virtual ~Executor() = default;

    // Runs `task` after everything already submitted, never inline.
    virtual void async(Task task) = 0;
    // Runs `task` once `delay` has passed.
    virtual TaskHandle asyncAfter(Micros delay, Task task) = 0;
    // Runs `task` every `interval`, first after one interval; the schedule does not drift.
    virtual TaskHandle repeating(Micros interval, Task task) = 0;
    // True when called from a task of this executor.
    virtual bool isCurrent() const = 0;
};

}  // namespace orvanta::base
