#include "host/desktop/WindowOwner.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/Clock.h"

namespace orvanta::host {
namespace {

constexpr std::uint64_t kResumeWaitMicros = 1'500'000;
constexpr std::uint64_t kResumePollMicros = 50'000;

// What /proc/PID/stat says of a process that matters here.
struct ProcessStat {
    char state = '?';
    pid_t group = 0;
    WindowOwner::StartTime start;
};

std::optional<ProcessStat> readProcessStat(std::int32_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!file || !std::getline(file, line)) return std::nullopt;
    // The command name may hold blanks and parentheses; the fields resume after the last ")".
    auto close = line.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(line.substr(close + 1));
    ProcessStat stat;
    std::string skip;
    long long group = 0;
    fields >> stat.state >> skip >> group;
    for (int field = 6; field < 22 && fields; ++field) fields >> skip;
    unsigned long long ticks = 0;
    fields >> ticks;
    if (!fields) return std::nullopt;
    static const auto hertz = static_cast<unsigned long long>(sysconf(_SC_CLK_TCK));
    stat.group = static_cast<pid_t>(group);
    stat.start = {ticks / hertz, (ticks % hertz) * 1'000'000 / hertz};
    return stat;
}

std::uint64_t uptimeMicros() { return base::SystemClock::shared().uptimeMicros(); }

}  // namespace

WindowOwner WindowOwner::of(std::int32_t pid) {
    WindowOwner owner{pid, std::nullopt};
    if (pid < 2 || pid == getpid()) return owner;
    if (auto stat = readProcessStat(pid)) owner.startTime = stat->start;
    return owner;
}

void WindowOwner::resumeIfStopped(std::string_view appName, const LogFunction& log) const {
    if (!startTime || pid < 2 || pid == getpid()) return;
    auto stat = readProcessStat(pid);
    if (!stat || stat->start != *startTime || stat->state != 'T') return;
    const pid_t group = getpgid(pid);
    kill(pid, SIGCONT);
    // Our own group is never signalled: it would wake whatever else of ours is stopped.
    if (stat->group > 1 && group == stat->group && getpgid(pid) == group && group != getpgrp()) kill(-group, SIGCONT);
    const std::string who = std::string(appName) + " pid " + std::to_string(pid);
    const auto started = uptimeMicros();
    for (;;) {
        auto now = readProcessStat(pid);
        if (!now || now->start != *startTime) {
            log("window fit: could not verify resume of " + who);
            return;
        }
        if (now->state != 'T') {
            log("window fit: resumed stopped app " + who);
            return;
        }
        const auto elapsed = uptimeMicros() - started;
        if (elapsed >= kResumeWaitMicros) {
            log("window fit: app still stopped after resume " + who);
            return;
        }
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::min(kResumeWaitMicros - elapsed, kResumePollMicros)));
    }
}

}  // namespace orvanta::host
