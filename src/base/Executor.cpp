#include "base/Executor.h"

namespace orvanta::base {

void ScheduledTask::cancel() {
    Task released;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        cancelled_ = true;
        released = std::move(task_);
    }
    // Outside the lock: the captures' destructors may cancel or schedule other tasks.
    released = nullptr;
    onCancelled();
}

bool ScheduledTask::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

bool ScheduledTask::run(bool keep) {
    Task task;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_ || !task_) return false;
        task = std::move(task_);
    }
    task();
    if (!keep) return false;
    std::lock_guard lock(mutex_);
    if (cancelled_) return false;  // cancelled while running: `task` is released on return
    task_ = std::move(task);
    return true;
}

}  // namespace orvanta::base
