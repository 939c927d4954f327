// A private PulseAudio daemon for tests: its own runtime directory, no bus, one null sink at
// 48 kHz (the default sink) created with norewinds=1, without which the first stream hears one to
// two seconds of silence. Stopped by PID when the object goes.
#pragma once

#include <sys/types.h>

#include <expected>
#include <memory>
#include <string>

#include "support/XvfbFixture.h"  // skipOrFailWithoutService

namespace orvanta::testing {

class PulseServer {
public:
    static std::expected<std::unique_ptr<PulseServer>, std::string> start();
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // "unix:<path>", for PULSE_SERVER or pa_context_connect.
    const std::string& server() const { return server_; }
    const std::string& sinkName() const { return sink_; }
    std::string monitorName() const { return sink_ + ".monitor"; }
    pid_t pid() const { return pid_; }
    // Stops the daemon now, for tests of a vanished audio server.
    void kill();

private:
    PulseServer(std::string directory, std::string server, pid_t pid)
        : directory_(std::move(directory)), server_(std::move(server)), pid_(pid) {}

    std::string directory_;
    std::string server_;
    std::string sink_ = "orvanta_test";
    pid_t pid_ = -1;
};

// The test process's daemon, started on first use and stopped at exit; sets PULSE_SERVER.
std::expected<PulseServer*, std::string> sharedPulse();

}  // namespace orvanta::testing

// In a test body: declares `pulse` (PulseServer&), or skips (fails under CI).
#define ORVANTA_REQUIRE_PULSE()                                                           \
    auto orvantaPulse_ = ::orvanta::testing::sharedPulse();                               \
    if (!orvantaPulse_) {                                                                 \
        ::orvanta::testing::skipOrFailWithoutService("PulseAudio: " + orvantaPulse_.error()); \
        return;                                                                           \
    }                                                                                     \
    ::orvanta::testing::PulseServer& pulse = **orvantaPulse_
