// Server processes that tests start themselves (Xvfb, openbox, pulseaudio): started with an
// explicit environment, tied to the test process so they die with it, stopped by PID.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <expected>
#include <string>
#include <vector>

namespace orvanta::testing {

struct ChildSpec {
    std::vector<std::string> argv;
    std::vector<std::string> extraEnvironment;  // "NAME=value", added to (or replacing) ours
    std::string logPath;                        // stdout and stderr; /dev/null when empty
    int passFd = -1;                            // handed to the child as descriptor 3
};

// Returns the child's PID or why it could not be started.
std::expected<pid_t, std::string> startChild(const ChildSpec& spec);
// SIGTERM, then waits for the child to exit.
void stopChild(pid_t pid);
// Whether the process `pid` is gone within `wait`: ended and reaped by its parent, not a zombie.
bool processGoneWithin(pid_t pid, std::chrono::milliseconds wait);

}  // namespace orvanta::testing
