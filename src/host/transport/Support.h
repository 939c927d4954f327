// The host's one log and its secret helpers.
#pragma once

#include <chrono>
#include <cstddef>
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
// The host log: every host component's diagnostic lines. Callable from any thread.
void info(std::string_view message);
}  // namespace Log

namespace Secret {
// Bytes from the system's secure generator; the process stops when the generator fails.
base::Bytes randomBytes(std::size_t count);
// Equal length and bytes, in a time that depends on the length only.
bool constantTimeEqual(base::ByteView a, base::ByteView b);
}  // namespace Secret

}  // namespace orvanta::host
