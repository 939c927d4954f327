// The callers blocked in synchronous hops into one executor, so that an executor that stops can
// wake them with an error instead of leaving them waiting on a job that will never run.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "base/Executor.h"

namespace orvanta::base {

class SyncWaiters : public std::enable_shared_from_this<SyncWaiters> {
public:
    // Hands `post` a task that runs `job` (which does not throw) on the executor, and blocks
    // until that task has run it. Throws ExecutorStopped when stop came first.
    void runAndWait(const Task& job, const std::function<void(Task)>& post);
    // Fails every wait whose job has not started, and every later one. Idempotent.
    void stop();

private:
    enum class State { Pending, Running, Done, Dropped };
    struct Wait {
        State state = State::Pending;
    };

    bool claim(Wait& wait);
    void finish(Wait& wait);

    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopped_ = false;
    std::unordered_set<Wait*> pending_;
};

}  // namespace orvanta::base
