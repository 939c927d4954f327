#include "platform/avahi/AvahiLoop.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <thread>

namespace orvanta::platform {

std::expected<std::unique_ptr<AvahiLoop>, std::string> AvahiLoop::start() {
    std::unique_ptr<AvahiLoop> loop(new AvahiLoop);
    loop->poll_ = avahi_threaded_poll_new();
    if (!loop->poll_) return std::unexpected("cannot create Avahi's event loop");
    std::array<int, 2> fds{};
    if (::pipe2(fds.data(), O_CLOEXEC | O_NONBLOCK) != 0) return std::unexpected("cannot create Avahi's job pipe");
    loop->wakeRead_ = fds[0];
    loop->wakeWrite_ = fds[1];
    // Not running yet, so the watch is added without the lock.
    const AvahiPoll* api = loop->api();
    if (!api->watch_new(api, loop->wakeRead_, AVAHI_WATCH_IN, &AvahiLoop::wake, loop.get())) {
        return std::unexpected("cannot watch Avahi's job pipe");
    }
    if (avahi_threaded_poll_start(loop->poll_) < 0) return std::unexpected("cannot start Avahi's event loop");
    return loop;
}

AvahiLoop::~AvahiLoop() {
    if (poll_) {
        avahi_threaded_poll_stop(poll_);
        avahi_threaded_poll_free(poll_);  // with the watch
    }
    if (wakeRead_ >= 0) ::close(wakeRead_);
    if (wakeWrite_ >= 0) ::close(wakeWrite_);
}

void AvahiLoop::post(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    // A full pipe already holds a wake-up that will drain every job.
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(wakeWrite_, &byte, 1);
}

void AvahiLoop::wake(AvahiWatch*, int fd, AvahiWatchEvent, void* userdata) {
    auto& loop = *static_cast<AvahiLoop*>(userdata);
    std::array<char, 64> drained{};
    while (::read(fd, drained.data(), drained.size()) > 0) {
    }
    std::deque<std::function<void()>> jobs;
    {
        std::lock_guard lock(loop.mutex_);
        jobs.swap(loop.jobs_);
    }
    for (auto& job : jobs) job();
}

void AvahiLoop::retire(std::unique_ptr<AvahiLoop> loop, std::function<void()> last) {
    std::thread([loop = std::move(loop), last = std::move(last)]() mutable {
        avahi_threaded_poll_stop(loop->poll_);
        if (last) last();
        loop.reset();
    }).detach();
}

}  // namespace orvanta::platform
