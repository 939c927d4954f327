// Where a component's work runs. Components take an Executor instead of a concrete queue, so that
// tests can run them on virtual time (ManualExecutor) while the application runs them on a
// DispatchQueue or the main thread.
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <type_traits>

namespace orvanta::base {

using Task = std::function<void()>;
using Micros = std::chrono::microseconds;

// A synchronous hop found its executor stopped (or destroyed) before the job could run.
class ExecutorStopped : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A delayed task or repeating timer, shared by its handle and its executor. Cancelling drops the
// task at once, so its captures do not outlive the cancel until the original deadline.
class ScheduledTask {
public:
    explicit ScheduledTask(Task task) : task_(std::move(task)) {}
    virtual ~ScheduledTask() = default;

    ScheduledTask(const ScheduledTask&) = delete;
    ScheduledTask& operator=(const ScheduledTask&) = delete;

    // Idempotent and safe from any thread. A run in progress finishes, and the task is released
    // after it, on the executor.
    void cancel();
    bool isCancelled() const;

    // For the executor: runs the task unless cancelled. A one-shot task (`keep` false) is released
    // after its run; a repeating one is kept for the next. Returns whether it is still live.
    bool run(bool keep);

protected:
    // Lets the executor also forget its own record of the task (a timer, a queue entry).
    virtual void onCancelled() {}

private:
    mutable std::mutex mutex_;
    Task task_;
    bool cancelled_ = false;
};

// Cancels a delayed task or a repeating timer. Cancelling is idempotent and safe from any thread;
// a task already running finishes. Destroying the handle does not cancel.
class TaskHandle {
public:
    TaskHandle() = default;
    explicit TaskHandle(std::shared_ptr<ScheduledTask> task) : task_(std::move(task)) {}

    void cancel() const {
        if (task_) task_->cancel();
    }
    bool isCancelled() const { return task_ && task_->isCancelled(); }
    explicit operator bool() const { return task_ != nullptr; }

private:
    std::shared_ptr<ScheduledTask> task_;
};

class Executor {
public:
    virtual ~Executor() = default;

    // Runs `task` after everything already submitted, never inline.
    virtual void async(Task task) = 0;
    // Runs `task` once `delay` has passed.
    virtual TaskHandle asyncAfter(Micros delay, Task task) = 0;
    // Runs `task` every `interval`, first after one interval. The ticks stay on the grid of
    // intervals from the start: a tick that runs late does not shift the next, and an executor
    // that was busy through several ticks runs one of them, not the whole backlog.
    virtual TaskHandle repeating(Micros interval, Task task) = 0;
    // True when called from a task of this executor.
    virtual bool isCurrent() const = 0;

    // Runs `fn` on this executor and waits for its result; an exception thrown by `fn` reaches
    // the caller. Throws std::logic_error when called from this executor (it would wait on
    // itself forever) and ExecutorStopped when the executor stops before running `fn`.
    template <class F>
    auto sync(F&& fn) -> std::invoke_result_t<F&> {
        std::packaged_task<std::invoke_result_t<F&>()> job(std::forward<F>(fn));
        auto result = job.get_future();
        runAndWait([&job] { job(); });
        return result.get();
    }

protected:
    // Runs `job` (which does not throw) on this executor and returns once it has run, with the
    // errors of sync.
    virtual void runAndWait(const Task& job) = 0;
};

// The due time of a repeating timer's next tick after the one due at `due` ran, now being `now`:
// the first point of the timer's grid after now, so a busy spell skips ticks instead of bursting.
// `interval` is positive.
template <class Duration>
constexpr Duration nextTickAfter(Duration due, Duration interval, Duration now) {
    if (now < due + interval) return due + interval;
    return due + ((now - due) / interval + 1) * interval;
}

}  // namespace orvanta::base
