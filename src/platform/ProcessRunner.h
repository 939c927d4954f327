// Runs a command-line tool to its end and hands back what it printed: standard output through a
// pipe, standard error discarded, a time limit after which the tool is killed.
#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "base/Bytes.h"

namespace orvanta::platform {

struct ProcessRequest {
    std::string executable;  // an absolute path; no search
    std::vector<std::string> arguments;
    std::chrono::milliseconds timeout{5000};
    std::size_t maxOutputBytes = std::size_t{1} << 20;
};

struct ProcessResult {
    std::optional<int> exitCode;  // nothing when a signal ended the process
    base::Bytes output;           // everything written to standard output
    bool operator==(const ProcessResult&) const = default;
};

struct ProcessError {
    enum class Kind {
        cannotStart,     // the executable could not be started
        timedOut,        // still running at the time limit, and killed
        outputTooLarge,  // printed more than the limit, and killed
        ioFailed,        // the pipe or the wait failed
    };
    Kind kind;
    std::string executable;
    int error = 0;  // errno value, where one applies
    bool operator==(const ProcessError&) const = default;
};

class ProcessRunner {
public:
    virtual ~ProcessRunner() = default;
    // Blocks the calling thread until the process has ended and been reaped.
    virtual std::expected<ProcessResult, ProcessError> run(const ProcessRequest& request) = 0;
};

}  // namespace orvanta::platform
