#include "support/ChildProcess.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <thread>

extern char** environ;

namespace orvanta::testing {

namespace {

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
    std::map<std::string, std::string> byName;
    auto add = [&byName](const std::string& entry) { byName[entry.substr(0, entry.find('='))] = entry; };
    for (char** e = environ; *e; ++e) add(*e);
    for (const auto& entry : extra) add(entry);
    std::vector<std::string> merged;
    for (auto& [name, entry] : byName) merged.push_back(std::move(entry));
    return merged;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

}  // namespace

std::expected<pid_t, std::string> startChild(const ChildSpec& spec) {
    auto argvStrings = spec.argv;
    auto envStrings = mergedEnvironment(spec.extraEnvironment);
    auto argv = pointers(argvStrings);
    auto envp = pointers(envStrings);
    const std::string log = spec.logPath.empty() ? "/dev/null" : spec.logPath;
    // Everything the child needs is prepared before fork: after it, only async-signal-safe calls.
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || in < 0) return std::unexpected("cannot open " + log + ": " + std::strerror(errno));
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        if (spec.passFd == 3)
            ::fcntl(3, F_SETFD, 0);
        else if (spec.passFd >= 0)
            ::dup2(spec.passFd, 3);
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out);
    ::close(in);
    if (pid < 0) return std::unexpected(std::string("fork failed: ") + std::strerror(errno));
    return pid;
}

void stopChild(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

bool processGoneWithin(pid_t pid, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    const std::string entry = "/proc/" + std::to_string(pid);
    while (::access(entry.c_str(), F_OK) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

}  // namespace orvanta::testing
