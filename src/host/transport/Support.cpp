#include "host/transport/Support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include <openssl/crypto.h>

#include "base/Crypto.h"
#include "base/Utf8.h"

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

// The length of the UTF-8 sequence that `text` starts with; 0 when it does not start with one.
std::size_t sequenceLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text.front());
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || length > text.size() || !base::isValidUtf8(text.substr(0, length))) return 0;
    return length;
}

// C0 and C1 controls, DEL, and the Unicode line and paragraph separators.
bool breaksLines(char32_t scalar) {
    return scalar < 0x20 || (scalar >= 0x7F && scalar <= 0x9F) || scalar == 0x2028 || scalar == 0x2029;
}

// Appends `text` escaped, up to `limit` bytes of output; returns how many input bytes it took.
std::size_t appendEscaped(std::string& out, std::string_view text, std::size_t limit) {
    std::size_t taken = 0;
    while (taken < text.size() && out.size() < limit) {
        const std::string_view rest = text.substr(taken);
        const std::size_t length = sequenceLength(rest);
        char escaped[16];
        if (length == 0) {
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(rest.front()));
            out += escaped;
            ++taken;
            continue;
        }
        const char32_t scalar = length == 1 ? static_cast<unsigned char>(rest.front())
                                            : base::decodeUtf8Lossy(rest.substr(0, length)).front();
        if (breaksLines(scalar)) {
            std::snprintf(escaped, sizeof escaped, "\\u{%X}", static_cast<unsigned>(scalar));
            out += escaped;
        } else {
            out.append(rest.substr(0, length));
        }
        taken += length;
    }
    return taken;
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

std::string field(std::string_view text) {
    std::string out;
    if (appendEscaped(out, text, kMaxFieldBytes) < text.size()) {
        out += "…(" + std::to_string(text.size()) + " bytes)";
    }
    return out;
}

void info(std::string_view message) {
    // Never destroyed: threads may still log while the process exits.
    static Logger& logger = *new Logger(std::string(kPath));
    logger.info(message);
}

}  // namespace Log

namespace Secret {

base::Bytes randomBytes(std::size_t count) { return base::secureRandomBytes(count); }

bool constantTimeEqual(base::ByteView a, base::ByteView b) { return base::constantTimeEqual(a, b); }

void wipe(void* data, std::size_t size) { OPENSSL_cleanse(data, size); }

}  // namespace Secret

}  // namespace orvanta::host
