// The host's one log and its secret helpers.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "base/Bytes.h"

namespace orvanta::host {

// Writes "HH:mm:ss.SSS message\n" (local time) to a standard-output descriptor and appends the
// same line to a file opened once, on first use, without following a symbolic link. When the file
// cannot be opened, the output descriptor alone is used for the rest of the process. One lock
// keeps lines whole and in the same order in both places.
class Logger {
public:
    explicit Logger(std::string path, int outputFd = 1);
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void info(std::string_view message);

    static std::string formatLine(std::chrono::system_clock::time_point when, std::string_view message);

private:
    std::mutex mutex_;
    std::string path_;
    int outputFd_;
    bool fileOpenTried_ = false;
    int fileFd_ = -1;
};

namespace Log {
inline constexpr std::string_view kPath = "/tmp/zq2host.log";
// The most bytes of one device-chosen field a line carries.
inline constexpr std::size_t kMaxFieldBytes = 200;
// Text a device chose, as one field of a log line: control characters (line breaks included) and
// bytes that are not UTF-8 escaped, so it can neither end the line nor forge another, and cut
// after kMaxFieldBytes with its full length noted.
std::string field(std::string_view text);
// The host log: every host component's diagnostic lines. Callable from any thread.
void info(std::string_view message);
}  // namespace Log

namespace Secret {
// Bytes from the system's secure generator; the process stops when the generator fails.
base::Bytes randomBytes(std::size_t count);
// Equal length and bytes, in a time that depends on the length only.
bool constantTimeEqual(base::ByteView a, base::ByteView b);
// Overwrites memory that held a secret, in a way the compiler keeps.
void wipe(void* data, std::size_t size);
template <class Buffer>
void wipe(Buffer& buffer) {
    if (!buffer.empty()) wipe(buffer.data(), buffer.size() * sizeof(*buffer.data()));
}
// Takes `buffer` over and wipes it when the last holder lets go: a task holding it is wiped
// whether it ran or was dropped unrun.
template <class Buffer>
std::shared_ptr<Buffer> wipedOnRelease(Buffer&& buffer) {
    return std::shared_ptr<Buffer>(new Buffer(std::move(buffer)), [](Buffer* held) {
        wipe(*held);
        delete held;
    });
}
}  // namespace Secret

}  // namespace orvanta::host
