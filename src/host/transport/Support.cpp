#include "host/transport/Support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "base/Crypto.h"

namespace orvanta::host {
namespace {

constexpr mode_t kLogFileMode = 0644;

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a log that cannot be written is dropped, never reported
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// The path lies in a directory every user can write to. Non-blocking, so that a pipe put there
// cannot hold the first line (and the lock with it) forever; anything but a regular file is left
// alone.
int openLogFile(const std::string& path) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kLogFileMode);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

Logger::Logger(std::string path, int outputFd) : path_(std::move(path)), outputFd_(outputFd) {}

Logger::~Logger() {
    if (fileFd_ >= 0) ::close(fileFd_);
}

std::string Logger::formatLine(std::chrono::system_clock::time_point when, std::string_view message) {
    using namespace std::chrono;
    const auto sinceEpoch = when.time_since_epoch();
    const std::time_t seconds = duration_cast<std::chrono::seconds>(sinceEpoch).count();
    const auto millis = duration_cast<milliseconds>(sinceEpoch).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[16];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(millis));
    std::string line;
    line.reserve(13 + message.size() + 1);
    line.append(stamp).push_back(' ');
    line.append(message).push_back('\n');
    return line;
}

void Logger::info(std::string_view message) {
    std::lock_guard lock(mutex_);
    const std::string line = formatLine(std::chrono::system_clock::now(), message);
    writeAll(outputFd_, line);
    if (!fileOpenTried_) {
        fileOpenTried_ = true;
        fileFd_ = openLogFile(path_);
    }
    if (fileFd_ >= 0) writeAll(fileFd_, line);
}

namespace Log {

void info(std::string_view message) {
    // Never destroyed: threads may still log while the process exits.
    static Logger& logger = *new Logger(std::string(kPath));
    logger.info(message);
}

}  // namespace Log

namespace Secret {

base::Bytes randomBytes(std::size_t count) { return base::secureRandomBytes(count); }

bool constantTimeEqual(base::ByteView a, base::ByteView b) { return base::constantTimeEqual(a, b); }

}  // namespace Secret

}  // namespace orvanta::host
