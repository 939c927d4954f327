#include "base/DispatchQueue.h"

#include <pthread.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

namespace orvanta::base {
namespace {

constexpr std::size_t kThreadNameMax = 15;

using Timer = boost::asio::steady_timer;

struct RepeatingState {
    Timer timer;
    Micros interval;
    Task task;
    std::shared_ptr<std::atomic<bool>> cancelled;
};

void armRepeating(const std::shared_ptr<RepeatingState>& state) {
    // From the previous deadline, not from now, so that a slow task does not shift the schedule.
    state->timer.expires_at(state->timer.expiry() + state->interval);
    state->timer.async_wait([state](const boost::system::error_code& error) {
        if (error || state->cancelled->load()) return;
        state->task();
        if (!state->cancelled->load()) armRepeating(state);
    });
}

}  // namespace

DispatchQueue::DispatchQueue(std::string label)
    : label_(std::move(label)),
      context_(std::make_shared<boost::asio::io_context>()),
      work_(boost::asio::make_work_guard(*context_)) {
    thread_ = std::thread([context = context_, name = label_.substr(0, kThreadNameMax)] {
        pthread_setname_np(pthread_self(), name.c_str());
        context->run();
    });
}

DispatchQueue::~DispatchQueue() {
    work_.reset();
    context_->stop();
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // the last owner let go from inside a task; the thread ends by itself
    } else {
        thread_.join();
    }
}

void DispatchQueue::async(Task task) { boost::asio::post(*context_, std::move(task)); }

TaskHandle DispatchQueue::asyncAfter(Micros delay, Task task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    auto timer = std::make_shared<Timer>(*context_, delay);
    timer->async_wait([timer, cancelled, task = std::move(task)](const boost::system::error_code& error) {
        if (!error && !cancelled->load()) task();
    });
    return TaskHandle(cancelled);
}

TaskHandle DispatchQueue::repeating(Micros interval, Task task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    auto state = std::make_shared<RepeatingState>(
        RepeatingState{Timer(*context_, Timer::clock_type::now()), interval, std::move(task), cancelled});
    armRepeating(state);
    return TaskHandle(cancelled);
}

bool DispatchQueue::isCurrent() const { return thread_.get_id() == std::this_thread::get_id(); }

}  // namespace orvanta::base
