#include "base/DispatchQueue.h"

#include <pthread.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <stdexcept>

#ifndef NDEBUG
#include <unordered_map>
#endif

namespace orvanta::base {
namespace {

constexpr std::size_t kThreadNameMax = 15;

using Timer = boost::asio::steady_timer;

// A delayed task on a queue. The timer belongs to its pending wait, which the context destroys
// with itself; cancelling also cancels the timer so that its wait does not linger until the
// deadline.
class QueueTask final : public ScheduledTask {
public:
    QueueTask(Task task, const std::shared_ptr<boost::asio::io_context>& context, const std::shared_ptr<Timer>& timer)
        : ScheduledTask(std::move(task)), context_(context), timer_(timer) {}

private:
    void onCancelled() override {
        const auto context = context_.lock();
        if (!context) return;
        boost::asio::post(*context, [timer = timer_] {
            if (const auto live = timer.lock()) live->cancel();
        });
    }

    std::weak_ptr<boost::asio::io_context> context_;
    std::weak_ptr<Timer> timer_;
};

void armRepeating(const std::shared_ptr<Timer>& timer, const std::shared_ptr<QueueTask>& task,
                  Timer::duration interval) {
    timer->async_wait([timer, task, interval](const boost::system::error_code& error) {
        if (error || !task->run(true)) return;
        const auto next =
            nextTickAfter(timer->expiry().time_since_epoch(), interval, Timer::clock_type::now().time_since_epoch());
        timer->expires_at(Timer::time_point(next));
        armRepeating(timer, task, interval);
    });
}

#ifndef NDEBUG
// The queue whose task runs on this thread, for the wait graph below.
thread_local const DispatchQueue* currentQueue = nullptr;
thread_local std::string currentLabel;

// Which queue each queue's thread waits on in a synchronous call. A call that would close a
// cycle of such waits deadlocks every queue in it; in debug builds it throws instead, naming them.
class WaitGraph {
public:
    static WaitGraph& shared() {
        static WaitGraph graph;
        return graph;
    }

    void enter(const DispatchQueue* from, const DispatchQueue* to, const std::string& toLabel) {
        std::lock_guard lock(mutex_);
        std::string path = currentLabel + " -> " + toLabel;
        for (auto edge = edges_.find(to); edge != edges_.end(); edge = edges_.find(edge->second.to)) {
            path += " -> " + edge->second.toLabel;
            if (edge->second.to == from) {
                throw std::logic_error("synchronous calls between queues wait on each other: " + path);
            }
        }
        edges_[from] = Edge{to, toLabel};
    }

    void leave(const DispatchQueue* from) {
        std::lock_guard lock(mutex_);
        edges_.erase(from);
    }

private:
    struct Edge {
        const DispatchQueue* to;
        std::string toLabel;
    };
    std::mutex mutex_;
    std::unordered_map<const DispatchQueue*, Edge> edges_;
};

// Records the calling queue's wait on `to` for as long as it lasts: until the job has run on
// `to`, or the call returns without it.
class WaitEdge {
public:
    WaitEdge(const DispatchQueue* to, const std::string& toLabel) : from_(currentQueue) {
        if (from_) WaitGraph::shared().enter(from_, to, toLabel);
    }
    ~WaitEdge() { release(); }
    WaitEdge(const WaitEdge&) = delete;
    WaitEdge& operator=(const WaitEdge&) = delete;

    // Called on `to` once the job has run, before the caller is woken (which orders it before the
    // destructor): a task `to` runs next may then sync into the caller's queue, which no longer
    // waits, even though its thread has not woken yet.
    void release() {
        if (from_) WaitGraph::shared().leave(from_);
        from_ = nullptr;
    }

private:
    const DispatchQueue* from_;
};
#endif

}  // namespace

DispatchQueue::DispatchQueue(std::string label)
    : label_(std::move(label)),
      context_(std::make_shared<boost::asio::io_context>()),
      work_(boost::asio::make_work_guard(*context_)) {
    thread_ = std::thread([this, context = context_, label = label_] {
        pthread_setname_np(pthread_self(), label.substr(0, kThreadNameMax).c_str());
#ifndef NDEBUG
        currentQueue = this;  // an identity only, never read through: the queue may go first
        currentLabel = label;
#endif
        context->run();
    });
}

DispatchQueue::~DispatchQueue() {
    stop();
    work_.reset();
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // the last owner let go from inside a task; the thread ends by itself
    } else {
        thread_.join();
    }
}

void DispatchQueue::stop() {
    waiters_->stop();
    context_->stop();
}

void DispatchQueue::async(Task task) { boost::asio::post(*context_, std::move(task)); }

TaskHandle DispatchQueue::asyncAfter(Micros delay, Task task) {
    auto timer = std::make_shared<Timer>(*context_, delay);
    auto scheduled = std::make_shared<QueueTask>(std::move(task), context_, timer);
    timer->async_wait([timer, scheduled](const boost::system::error_code& error) {
        if (!error) scheduled->run(false);
    });
    return TaskHandle(scheduled);
}

TaskHandle DispatchQueue::repeating(Micros interval, Task task) {
    const Timer::duration period = std::max<Timer::duration>(interval, Micros(1));
    auto timer = std::make_shared<Timer>(*context_, period);
    auto scheduled = std::make_shared<QueueTask>(std::move(task), context_, timer);
    armRepeating(timer, scheduled, period);
    return TaskHandle(scheduled);
}

bool DispatchQueue::isCurrent() const { return thread_.get_id() == std::this_thread::get_id(); }

void DispatchQueue::runAndWait(const Task& job) {
    if (isCurrent()) throw std::logic_error("sync called on its own queue " + label_);
#ifndef NDEBUG
    WaitEdge edge(this, label_);
    const Task tracked = [&job, &edge] {
        job();
        edge.release();
    };
#else
    const Task& tracked = job;
#endif
    waiters_->runAndWait(tracked, [this](Task task) { async(std::move(task)); });
}

}  // namespace orvanta::base
