#include "platform/qt/QtMainExecutor.h"

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <climits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

namespace orvanta::platform::qt {

using Clock = std::chrono::steady_clock;

struct QtMainExecutor::Core {
    std::mutex mutex;
    QObject* context = nullptr;  // on the GUI thread; null once the executor is gone
    QThread* thread = nullptr;

    // Queues `task` behind what is queued; false once the executor is gone.
    bool post(base::Task task) {
        std::lock_guard lock(mutex);
        if (!context) return false;
        QMetaObject::invokeMethod(context, std::move(task), Qt::QueuedConnection);
        return true;
    }

    QObject* liveContext() {
        std::lock_guard lock(mutex);
        return context;
    }
};

// A delayed task or a repeating timer with its QTimer, which lives on the GUI thread and is only
// touched there.
class QtMainExecutor::TimerTask final : public base::ScheduledTask {
public:
    TimerTask(base::Task task, std::weak_ptr<Core> core, Clock::time_point due, std::optional<Clock::duration> interval)
        : ScheduledTask(std::move(task)), core_(std::move(core)), due_(due), interval_(interval) {}

    // GUI thread: starts the timer unless the task was cancelled first.
    static void arm(const std::shared_ptr<TimerTask>& task, QObject* context) {
        if (task->isCancelled()) return;
        auto* timer = new QTimer(context);
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        *task->timer_ = timer;
        QObject::connect(timer, &QTimer::timeout, timer, [task, timer] { task->fired(*timer); });
        start(*timer, task->due_);
    }

private:
    static void start(QTimer& timer, Clock::time_point due) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
        timer.start(static_cast<int>(std::clamp<long long>(wait, 0, INT_MAX)));
    }

    void fired(QTimer& timer) {
        if (!interval_) {
            run(false);
            timer.deleteLater();
            return;
        }
        if (!run(true)) {
            timer.deleteLater();
            return;
        }
        due_ = Clock::time_point(
            base::nextTickAfter(due_.time_since_epoch(), *interval_, Clock::now().time_since_epoch()));
        start(timer, due_);
    }

    // The timer goes on the GUI thread, and never from inside its own timeout.
    void onCancelled() override {
        if (auto core = core_.lock()) {
            core->post([timer = timer_] {
                if (*timer) (*timer)->deleteLater();
            });
        }
    }

    std::weak_ptr<Core> core_;
    Clock::time_point due_;  // GUI thread only, once armed
    const std::optional<Clock::duration> interval_;
    const std::shared_ptr<QPointer<QTimer>> timer_ = std::make_shared<QPointer<QTimer>>();
};

QtMainExecutor::QtMainExecutor() : core_(std::make_shared<Core>()) {
    core_->context = new QObject;
    core_->thread = core_->context->thread();
}

QtMainExecutor::~QtMainExecutor() {
    waiters_->stop();
    QObject* context = nullptr;
    {
        std::lock_guard lock(core_->mutex);
        context = std::exchange(core_->context, nullptr);
    }
    // Deleting the object drops its queued invocations and its timers, and with them their tasks.
    delete context;
}

void QtMainExecutor::async(base::Task task) { core_->post(std::move(task)); }

base::TaskHandle QtMainExecutor::asyncAfter(base::Micros delay, base::Task task) {
    return schedule(std::make_shared<TimerTask>(std::move(task), core_, Clock::now() + delay, std::nullopt));
}

base::TaskHandle QtMainExecutor::repeating(base::Micros interval, base::Task task) {
    const Clock::duration period = std::max<Clock::duration>(interval, base::Micros(1));
    return schedule(std::make_shared<TimerTask>(std::move(task), core_, Clock::now() + period, period));
}

// Timers are made on the GUI thread; the due time was taken when the task was asked for.
base::TaskHandle QtMainExecutor::schedule(const std::shared_ptr<TimerTask>& task) {
    if (isCurrent()) {
        if (auto* context = core_->liveContext()) TimerTask::arm(task, context);
    } else {
        core_->post([task, core = std::weak_ptr<Core>(core_)] {
            if (auto live = core.lock()) TimerTask::arm(task, live->liveContext());
        });
    }
    return base::TaskHandle(task);
}

bool QtMainExecutor::isCurrent() const { return QThread::currentThread() == core_->thread; }

void QtMainExecutor::runAndWait(const base::Task& job) {
    if (isCurrent()) throw std::logic_error("sync called on the main thread");
    waiters_->runAndWait(job, [core = core_](base::Task task) { core->post(std::move(task)); });
}

}  // namespace orvanta::platform::qt
