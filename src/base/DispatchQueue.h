// A named serial queue on a thread of its own: tasks run one at a time in submission order.
#pragma once

#include <utility>  // ahead of Asio, for g++ 12 in C++23 mode

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <memory>
#include <string>
#include <thread>

#include "base/Executor.h"
#include "base/SyncWaiters.h"

namespace orvanta::base {

class DispatchQueue final : public Executor {
public:
    // The thread is named after `label` (cut to the 15 characters Linux keeps).
    explicit DispatchQueue(std::string label);
    // Stops the queue and waits for a running task to finish.
    ~DispatchQueue() override;

    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    void async(Task task) override;
    TaskHandle asyncAfter(Micros delay, Task task) override;
    TaskHandle repeating(Micros interval, Task task) override;
    bool isCurrent() const override;

    // A running task finishes; pending and later tasks are dropped, and callers waiting in sync
    // wake with ExecutorStopped. Safe from any thread, the queue's own included.
    void stop();

    const std::string& label() const { return label_; }
    // For Asio objects (sockets, timers) whose completions must run on this queue.
    boost::asio::io_context& context() { return *context_; }

protected:
    void runAndWait(const Task& job) override;

private:
    std::string label_;
    // Shared with the thread, which may outlive the queue when the queue is destroyed by one of
    // its own tasks.
    std::shared_ptr<boost::asio::io_context> context_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    std::shared_ptr<SyncWaiters> waiters_ = std::make_shared<SyncWaiters>();
    std::thread thread_;
};

}  // namespace orvanta::base
