// An audio output that plays on virtual time: scheduled buffers are "played" when the test says
// so, and start failures and device changes happen on request.
#pragma once

#include <deque>
#include <memory>

#include "platform/AudioOutput.h"

namespace orvanta::testing {

struct FakeAudioOutputState {
    int starts = 0;
    bool failStart = false;
    bool running = false;
    bool playing = false;
    std::uint64_t latencyMicros = 5'000;
    std::deque<std::pair<platform::AudioOutput::Planes, std::function<void()>>> scheduled;
    std::vector<platform::AudioOutput::Planes> played;
    std::function<void()> configurationChange;  // of the running output

    std::size_t scheduledFrames() const {
        std::size_t frames = 0;
        for (const auto& [planes, done] : scheduled) frames += planes.empty() ? 0 : planes[0].size();
        return frames;
    }
    // Renders the oldest scheduled buffer and reports it.
    bool playOne() {
        if (scheduled.empty()) return false;
        auto [planes, done] = std::move(scheduled.front());
        scheduled.pop_front();
        played.push_back(std::move(planes));
        done();
        return true;
    }
};

class FakeAudioOutput final : public platform::AudioOutput {
public:
    explicit FakeAudioOutput(std::shared_ptr<FakeAudioOutputState> state) : state_(std::move(state)) {}
    ~FakeAudioOutput() override { state_->configurationChange = nullptr; }

    static platform::AudioOutputFactory factory(std::shared_ptr<FakeAudioOutputState> state) {
        return [state] { return std::make_unique<FakeAudioOutput>(state); };
    }

    std::expected<void, std::string> start(platform::AudioOutputFormat) override {
        ++state_->starts;
        if (state_->failStart) return std::unexpected("no audio device");
        state_->running = true;
        state_->configurationChange = [this] {
            if (onConfigurationChange) onConfigurationChange();
        };
        return {};
    }
    bool isRunning() const override { return state_->running; }
    void schedule(Planes planes, std::function<void()> played) override {
        state_->scheduled.emplace_back(std::move(planes), std::move(played));
    }
    void play() override { state_->playing = true; }
    bool isPlaying() const override { return state_->playing; }
    void stopPlayer() override {
        state_->playing = false;
        state_->scheduled.clear();
    }
    void stop() override {
        stopPlayer();
        state_->running = false;
    }
    std::uint64_t latencyMicros() const override { return state_->latencyMicros; }

private:
    std::shared_ptr<FakeAudioOutputState> state_;
};

}  // namespace orvanta::testing
