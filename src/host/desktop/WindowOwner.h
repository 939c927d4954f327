// The process behind a window, and waking it when it is stopped: a window fit waits on an
// application that cannot answer while it is stopped.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace orvanta::host {

using LogFunction = std::function<void(std::string_view)>;

// A process, told apart from a later process that reuses its pid by its start time.
struct WindowOwner {
    struct StartTime {
        std::uint64_t seconds = 0;
        std::uint64_t micros = 0;
        bool operator==(const StartTime&) const = default;
    };

    std::int32_t pid = 0;
    std::optional<StartTime> startTime;  // nothing for pids below 2, this process, or an unreadable one

    static WindowOwner of(std::int32_t pid);
    // Sends SIGCONT to a stopped owner (and its group when safe) and waits up to 1.5 s for it to run.
    void resumeIfStopped(std::string_view appName, const LogFunction& log) const;
    bool operator==(const WindowOwner&) const = default;
};

}  // namespace orvanta::host
