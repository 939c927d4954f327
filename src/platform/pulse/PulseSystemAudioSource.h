// SystemAudioSource on a PulseAudio server (also PipeWire's): records the monitor of the default
// output at float32, follows the default output when it changes, and times each buffer by the
// uptime clock minus the stream's reported latency.
#pragma once

#include <memory>
#include <string>

#include "platform/SystemAudioSource.h"

namespace orvanta::platform::pulse {

class PulseSystemAudioSource final : public SystemAudioSource {
public:
    // `server` as PULSE_SERVER takes it; empty: the user's default server.
    explicit PulseSystemAudioSource(std::string server = {});
    ~PulseSystemAudioSource() override;
    PulseSystemAudioSource(const PulseSystemAudioSource&) = delete;
    PulseSystemAudioSource& operator=(const PulseSystemAudioSource&) = delete;

    std::expected<void, std::string> start(PcmFormat wanted) override;
    void stop() override;

private:
    struct Loop;
    std::unique_ptr<Loop> loop_;
    std::string server_;
};

}  // namespace orvanta::platform::pulse
