// Connects a DNS-SD test to the avahi-daemon that tests/support/avahi-fixture started for CTest.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <sstream>
#include <string>

#include "support/XvfbFixture.h"  // skipOrFailWithoutService

namespace orvanta::testing {

// Points the process's system bus at the fixture's daemon. Returns why the daemon is not there,
// or nothing when it is; a test that gets a reason skips with it.
inline std::optional<std::string> useAvahiFixture() {
    const char* state = std::getenv("ORVANTA_AVAHI_STATE");
    if (!state) return "not run under CTest's avahi fixture (ORVANTA_AVAHI_STATE is unset)";
    auto slurp = [](const std::string& path) -> std::optional<std::string> {
        std::ifstream in(path);
        if (!in) return std::nullopt;
        std::stringstream s;
        s << in.rdbuf();
        std::string text = s.str();
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        return text;
    };
    if (auto address = slurp(std::string(state) + "/bus-address")) {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address->c_str(), 1);
        return std::nullopt;
    }
    return "avahi-daemon unavailable: " + slurp(std::string(state) + "/unavailable").value_or("fixture did not run");
}

}  // namespace orvanta::testing

// In SetUp or a test body: points the system bus at the fixture's daemon, or skips with the reason
// (fails under CI=true).
#define ORVANTA_REQUIRE_AVAHI()                                                      \
    if (auto orvantaAvahiReason_ = ::orvanta::testing::useAvahiFixture()) {          \
        ::orvanta::testing::skipOrFailWithoutService(*orvantaAvahiReason_);          \
        return;                                                                      \
    }

namespace orvanta::testing {

// Stops the fixture's daemon for its lifetime, so that every D-Bus call to it waits: a daemon
// that is busy or restarting, as seen by its clients.
class FrozenAvahiDaemon {
public:
    FrozenAvahiDaemon() {
        if (const char* state = std::getenv("ORVANTA_AVAHI_STATE"))
            std::ifstream(std::string(state) + "/avahi.pid") >> pid_;
        if (pid_ > 0 && ::kill(pid_, SIGSTOP) != 0) pid_ = 0;
    }
    ~FrozenAvahiDaemon() {
        if (pid_ > 0) ::kill(pid_, SIGCONT);
    }
    FrozenAvahiDaemon(const FrozenAvahiDaemon&) = delete;
    FrozenAvahiDaemon& operator=(const FrozenAvahiDaemon&) = delete;

    bool frozen() const { return pid_ > 0; }

private:
    pid_t pid_ = 0;
};

// Whether `call` returns within `limit`; a call that waited for D-Bus would take its 25 s time-out.
// The wait is bounded, never a sleep; a call that hangs is still waited for before returning.
inline bool returnsWithin(std::chrono::milliseconds limit, const std::function<void()>& call) {
    auto done = std::async(std::launch::async, call);
    return done.wait_for(limit) == std::future_status::ready;
}

}  // namespace orvanta::testing
