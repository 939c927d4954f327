// A named serial queue on a thread of its own: tasks run one at a time in submission order.
#pragma once

#include <utility>  // ahead of Asio, for g++ 12 in C++23 mode

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>

#include "base/Executor.h"

namespace orvanta::base {

class DispatchQueue final : public Executor {
public:
    // The thread is named after `label` (cut to the 15 characters Linux keeps).
    explicit DispatchQueue(std::string label);
    // Pending tasks are dropped; a running task finishes first.
    ~DispatchQueue() override;

    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    void async(Task task) override;
    TaskHandle asyncAfter(Micros delay, Task task) override;
    TaskHandle repeating(Micros interval, Task task) override;
    bool isCurrent() const override;

    // Runs `fn` on the queue and waits for its result; an exception thrown by `fn` reaches the
    // caller. Calling it from the queue itself would wait forever, so that throws logic_error.
    template <class F>
    auto sync(F&& fn) -> std::invoke_result_t<F&> {
        if (isCurrent()) throw std::logic_error("DispatchQueue::sync called on its own queue " + label_);
        std::packaged_task<std::invoke_result_t<F&>()> job(std::forward<F>(fn));
        auto result = job.get_future();
        async([&job] { job(); });
        return result.get();
    }

    const std::string& label() const { return label_; }
    // For Asio objects (sockets, timers) whose completions must run on this queue.
    boost::asio::io_context& context() { return *context_; }

private:
    std::string label_;
    // Shared with the thread, which may outlive the queue when the queue is destroyed by one of
    // its own tasks.
    std::shared_ptr<boost::asio::io_context> context_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    std::thread thread_;
};

}  // namespace orvanta::base
