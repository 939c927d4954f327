// Avahi's event loop on a thread of its own, with a way to hand it work that never takes the loop's
// lock: the loop holds that lock while its callbacks run, and they wait for D-Bus (up to its 25 s
// time-out when the daemon is slow or restarting), so a caller that took it would wait as long.
// Every Avahi call that waits for the daemon therefore runs on the loop's thread.
#pragma once

#include <avahi-common/thread-watch.h>

#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace orvanta::platform {

class AvahiLoop {
public:
    // A running loop, or why there is none.
    static std::expected<std::unique_ptr<AvahiLoop>, std::string> start();
    // Stops the loop and waits for its thread.
    ~AvahiLoop();
    AvahiLoop(const AvahiLoop&) = delete;
    AvahiLoop& operator=(const AvahiLoop&) = delete;

    const AvahiPoll* api() const { return avahi_threaded_poll_get(poll_); }

    // Runs `job` on the loop's thread after the jobs posted before it. Any thread but the loop's.
    void post(std::function<void()> job);

    // Ends `loop` on a thread of its own, never waiting for it: the loop stops, `last` runs there
    // (to free what was made through the loop), then the loop is freed.
    static void retire(std::unique_ptr<AvahiLoop> loop, std::function<void()> last);

private:
    AvahiLoop() = default;
    static void wake(AvahiWatch* watch, int fd, AvahiWatchEvent event, void* userdata);

    AvahiThreadedPoll* poll_ = nullptr;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::mutex mutex_;
    std::deque<std::function<void()>> jobs_;
};

}  // namespace orvanta::platform
