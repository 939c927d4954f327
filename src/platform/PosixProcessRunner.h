// ProcessRunner on posix_spawn: the tool runs in its own process group, so that the time limit
// also ends whatever it started; the runner always reaps it before returning.
#pragma once

#include "platform/ProcessRunner.h"

namespace orvanta::platform {

class PosixProcessRunner final : public ProcessRunner {
public:
    std::expected<ProcessResult, ProcessError> run(const ProcessRequest& request) override;
};

}  // namespace orvanta::platform
