#include "platform/PosixProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/PosixSpawn.h"

namespace orvanta::platform {
namespace {

using std::chrono::steady_clock;

constexpr std::size_t kReadChunkBytes = 16384;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }

private:
    int fd_;
};

int pollTimeoutMillis(steady_clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady_clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Reads the pipe to its end while watching the process, until both are done or the deadline.
// Returns the reason to kill the process, if there is one.
std::optional<ProcessError::Kind> collect(int pipeFd, int processFd, std::size_t maxOutputBytes,
                                          steady_clock::time_point deadline, base::Bytes& output, int& error) {
    bool pipeOpen = true;
    bool exited = false;
    while (pipeOpen || !exited) {
        const int timeout = pollTimeoutMillis(deadline);
        if (timeout == 0) return ProcessError::Kind::timedOut;
        pollfd fds[2];
        nfds_t count = 0;
        const nfds_t pipeSlot = pipeOpen ? count++ : 2;
        if (pipeOpen) fds[pipeSlot] = {pipeFd, POLLIN, 0};
        const nfds_t processSlot = exited ? 2 : count++;
        if (!exited) fds[processSlot] = {processFd, POLLIN, 0};
        const int ready = ::poll(fds, count, timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            error = errno;
            return ProcessError::Kind::ioFailed;
        }
        if (pipeSlot < 2 && fds[pipeSlot].revents != 0) {
            std::uint8_t chunk[kReadChunkBytes];
            const ssize_t n = ::read(pipeFd, chunk, sizeof chunk);
            if (n < 0 && errno != EINTR) {
                error = errno;
                return ProcessError::Kind::ioFailed;
            }
            if (n == 0) pipeOpen = false;
            if (n > 0) {
                if (output.size() + static_cast<std::size_t>(n) > maxOutputBytes) {
                    return ProcessError::Kind::outputTooLarge;
                }
                output.insert(output.end(), chunk, chunk + n);
            }
        }
        if (processSlot < 2 && fds[processSlot].revents != 0) exited = true;
    }
    return std::nullopt;
}

std::optional<int> reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return std::nullopt;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return std::nullopt;
}

}  // namespace

std::expected<ProcessResult, ProcessError> PosixProcessRunner::run(const ProcessRequest& request) {
    auto failure = [&](ProcessError::Kind kind, int error) {
        return std::unexpected(ProcessError{kind, request.executable, error});
    };
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return failure(ProcessError::Kind::ioFailed, errno);
    Fd readEnd(pipeFds[0]);
    Fd writeEnd(pipeFds[1]);

    std::vector<std::string> arguments{request.executable};
    arguments.insert(arguments.end(), request.arguments.begin(), request.arguments.end());
    // Standard input and error on the null device, output into the pipe, a process group of its own.
    PosixSpawn setup(POSIX_SPAWN_SETPGROUP);
    setup.open(STDIN_FILENO, "/dev/null", O_RDONLY);
    setup.dup2(writeEnd.get(), STDOUT_FILENO);
    setup.open(STDERR_FILENO, "/dev/null", O_WRONLY);
    const auto spawned = setup.spawn(arguments, false);
    if (!spawned) return failure(ProcessError::Kind::cannotStart, spawned.error());
    const pid_t pid = *spawned;
    // Only the child may hold the write end, or the pipe never reaches its end.
    writeEnd.reset();
    const auto deadline = steady_clock::now() + request.timeout;

    // A process descriptor tells when the child has exited without reaping it, so the child's
    // pid, and with it its process group, stays ours to signal until the one waitpid below.
    Fd processFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    base::Bytes output;
    int error = 0;
    std::optional<ProcessError::Kind> problem;
    if (!processFd) {
        error = errno;
        problem = ProcessError::Kind::ioFailed;
    } else {
        problem = collect(readEnd.get(), processFd.get(), request.maxOutputBytes, deadline, output, error);
    }
    if (problem) ::kill(-pid, SIGKILL);
    const std::optional<int> exitCode = reap(pid);
    if (problem) return failure(*problem, error);
    return ProcessResult{exitCode, std::move(output)};
}

}  // namespace orvanta::platform
