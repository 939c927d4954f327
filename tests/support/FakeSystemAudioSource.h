// A system audio source driven by the test: start answers as told, buffers and failures arrive
// when the test plays them.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "platform/SystemAudioSource.h"

namespace orvanta::testing {

class FakeSystemAudioSource final : public platform::SystemAudioSource {
public:
    struct State {
        std::optional<std::string> startError;  // start fails with this text
        std::optional<platform::PcmFormat> wanted;
        std::atomic<int> stops{0};
        std::atomic<bool> running{false};
    };

    explicit FakeSystemAudioSource(std::shared_ptr<State> state) : state_(std::move(state)) {}

    std::expected<void, std::string> start(platform::PcmFormat wanted) override {
        state_->wanted = wanted;
        if (state_->startError) return std::unexpected(*state_->startError);
        state_->running = true;
        return {};
    }
    void stop() override {
        if (state_->running) ++state_->stops;
        state_->running = false;
    }

    // As the source's own thread would.
    void play(const std::vector<float>& samples, double seconds, platform::PcmFormat format = {48000, 2}) {
        if (state_->running && onBuffer) onBuffer(platform::PcmBuffer{format, samples, seconds});
    }
    void fail(std::string text) {
        if (state_->running && onError) onError(std::move(text));
    }

private:
    std::shared_ptr<State> state_;
};

}  // namespace orvanta::testing
