// A private X server for tests: Xvfb with -displayfd (so parallel test processes never collide),
// no TCP listener and no reset when its last client leaves (a reset would undo RandR changes),
// optionally openbox as the window manager and xcompmgr as a compositing manager. All are stopped by
// PID and die with the test process.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdlib>
#include <expected>
#include <memory>
#include <string>

namespace orvanta::testing {

struct XvfbOptions {
    // The size Xvfb starts with, which is also its RandR maximum: tests that add displays start
    // it large and fit it down with RandR.
    int width = 1920;
    int height = 1080;
    bool windowManager = false;  // openbox, ready once it owns _NET_SUPPORTING_WM_CHECK
    bool operator==(const XvfbOptions&) const = default;
};

class XvfbServer {
public:
    static std::expected<std::unique_ptr<XvfbServer>, std::string> start(const XvfbOptions& options = {});
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    const std::string& display() const { return display_; }  // ":N"
    pid_t pid() const { return xvfb_; }
    // Starts openbox on this server if it has no window manager yet.
    std::expected<void, std::string> startWindowManager();
    // Starts xcompmgr on this server if no compositing manager runs yet; ready once it owns the
    // screen's compositing-manager selection.
    std::expected<void, std::string> startCompositingManager();
    // Stops the server (and its window manager) now, for tests of a vanished X server.
    void kill();

private:
    XvfbServer(std::string display, pid_t xvfb) : display_(std::move(display)), xvfb_(xvfb) {}

    std::string display_;
    pid_t xvfb_ = -1;
    pid_t windowManager_ = -1;
    pid_t compositingManager_ = -1;
};

// The test process's server, started on first use and stopped at exit; sets DISPLAY. A later call
// that asks for a window manager gets one added; sizes are those of the first call. Returns the
// display name or why no server could be started.
std::expected<std::string, std::string> sharedXvfb(const XvfbOptions& options = {});

// Starts openbox on `display` and waits until it manages windows; `pid` is set once it runs.
std::expected<void, std::string> startOpenbox(const std::string& display, pid_t& pid);

// Skips with the reason, or fails when CI=true so that a missing install step cannot hide.
inline void skipOrFailWithoutService(const std::string& why) {
    const char* ci = std::getenv("CI");
    if (ci && std::string(ci) == "true") FAIL() << why;
    GTEST_SKIP() << why;
}

}  // namespace orvanta::testing

// In a test body: declares `display` (":N") for the shared server, or skips (fails under CI).
#define ORVANTA_REQUIRE_XVFB(...)                                                      \
    auto orvantaXvfb_ = ::orvanta::testing::sharedXvfb(__VA_ARGS__);                   \
    if (!orvantaXvfb_) {                                                               \
        ::orvanta::testing::skipOrFailWithoutService("Xvfb: " + orvantaXvfb_.error()); \
        return;                                                                        \
    }                                                                                  \
    const std::string display = *orvantaXvfb_
