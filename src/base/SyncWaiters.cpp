#include "base/SyncWaiters.h"

namespace orvanta::base {

void SyncWaiters::runAndWait(const Task& job, const std::function<void(Task)>& post) {
    // Held until the caller returns: the executor, and this registry with it, may be destroyed
    // by the job or right after it.
    const auto self = shared_from_this();
    auto wait = std::make_shared<Wait>();
    {
        std::lock_guard lock(mutex_);
        if (stopped_) throw ExecutorStopped("executor stopped before a synchronous call");
        pending_.insert(wait.get());
    }
    // The task may outlive this call (an executor keeps dropped tasks until it is destroyed), so
    // it holds the wait and this registry, and touches `job` only after claiming the wait.
    try {
        post([self, wait, &job] {
            if (!self->claim(*wait)) return;
            job();
            self->finish(*wait);
        });
    } catch (...) {
        std::lock_guard lock(mutex_);
        pending_.erase(wait.get());
        throw;
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return wait->state == State::Done || wait->state == State::Dropped; });
    if (wait->state == State::Dropped) throw ExecutorStopped("executor stopped before running a synchronous call");
}

bool SyncWaiters::claim(Wait& wait) {
    std::lock_guard lock(mutex_);
    if (wait.state != State::Pending) return false;
    wait.state = State::Running;
    pending_.erase(&wait);
    return true;
}

void SyncWaiters::finish(Wait& wait) {
    {
        std::lock_guard lock(mutex_);
        wait.state = State::Done;
    }
    changed_.notify_all();
}

void SyncWaiters::stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        for (Wait* wait : pending_) wait->state = State::Dropped;
        pending_.clear();
    }
    changed_.notify_all();
}

}  // namespace orvanta::base
