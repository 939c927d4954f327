// The Qt GUI thread as an Executor: the application's main executor. Tasks are queued invocations
// on an object of that thread; delayed tasks use precise single-shot timers, and repeating ones are
// re-armed on the grid of their interval as every executor keeps them (a default QTimer is coarse
// and moves a late tick's successor to now + interval). Made and destroyed on the GUI thread, after
// the application object; posting, cancelling and sync work from any thread.
#pragma once

#include <memory>

#include "base/Executor.h"
#include "base/SyncWaiters.h"

namespace orvanta::platform::qt {

class QtMainExecutor final : public base::Executor {
public:
    QtMainExecutor();
    // Drops every pending task and timer; callers waiting in sync wake with ExecutorStopped.
    ~QtMainExecutor() override;
    QtMainExecutor(const QtMainExecutor&) = delete;
    QtMainExecutor& operator=(const QtMainExecutor&) = delete;

    void async(base::Task task) override;
    base::TaskHandle asyncAfter(base::Micros delay, base::Task task) override;
    base::TaskHandle repeating(base::Micros interval, base::Task task) override;
    bool isCurrent() const override;

protected:
    void runAndWait(const base::Task& job) override;

private:
    struct Core;
    class TimerTask;

    base::TaskHandle schedule(const std::shared_ptr<TimerTask>& task);

    std::shared_ptr<Core> core_;
    std::shared_ptr<base::SyncWaiters> waiters_ = std::make_shared<base::SyncWaiters>();
};

}  // namespace orvanta::platform::qt
