// What this machine plays: the monitor of the audio server's default output, as interleaved float
// PCM with capture times on the uptime clock.
#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <span>
#include <string>

namespace orvanta::platform {

struct PcmFormat {
    int sampleRate = 0;
    int channels = 0;

    bool operator==(const PcmFormat&) const = default;
};

// One captured buffer; `samples` holds frames() x channels interleaved values and lives only for
// the callback.
struct PcmBuffer {
    PcmFormat format;
    std::span<const float> samples;
    double seconds = 0;  // capture time of the first frame, uptime clock

    std::size_t frames() const {
        return format.channels > 0 ? samples.size() / static_cast<std::size_t>(format.channels) : 0;
    }
};

class SystemAudioSource {
public:
    virtual ~SystemAudioSource() = default;

    // Blocks until recording runs at `wanted` (the server converts what it plays) or fails with a
    // text for the user's log. Called once.
    virtual std::expected<void, std::string> start(PcmFormat wanted) = 0;
    // Blocks until no callback runs any more; idempotent. Never call it from a callback.
    virtual void stop() = 0;

    // Both run on the source's own thread; set before start.
    std::function<void(const PcmBuffer&)> onBuffer;
    // Recording ended on its own (server gone, output removed); no buffer follows.
    std::function<void(std::string)> onError;
};

}  // namespace orvanta::platform
