// Audio decisions and audio/video synchronisation of the client: when host audio is requested,
// the offsets of audio playout and video display against their presentation times, a jitter
// policy and a delay line for whoever needs them, and the session's audio side that ties playback,
// the video delay and the published lag together.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "base/Clock.h"
#include "base/Executor.h"
#include "client/session/SessionMedia.h"

namespace orvanta::client {

class AudioPlayback;

namespace AudioRequestPolicy {
enum class Action { request, stop, none };
inline bool requestOnWelcome(bool offered, bool enabled) { return offered && enabled; }
Action onToggle(bool welcomed, bool offered, bool requested, bool enabled);
}  // namespace AudioRequestPolicy

// Smoothed offsets (µs) of audio playout and video display against presentation times.
struct AVSyncEstimator {
    static constexpr double videoDisplayLatencyMicros = 16'000.0;
    static constexpr std::uint64_t staleMicros = 3'000'000;

    std::optional<double> audioOffset;
    std::optional<double> videoOffset;
    std::uint64_t lastAudioAt = 0;
    std::uint64_t lastVideoAt = 0;

    void audio(std::uint64_t ptsMicros, std::uint64_t playoutMicros);
    void video(std::uint64_t ptsMicros, std::uint64_t shownMicros);
    void resetAudio();
    // Audio offset minus video offset; none when either is unknown or stale.
    std::optional<double> audioLagMicros(std::uint64_t nowMicros) const;
    bool operator==(const AVSyncEstimator&) const = default;
};

struct AudioJitterPolicy {
    enum class Action { schedule, scheduleAndStart, restart, drop };

    AudioJitterPolicy(int sampleRate, int targetMillis, int maxTargetMillis, int stepMillis, int highMarginMillis,
                      int maxMillis, int sustainMillis);
    void reset();
    Action decide(int queuedFrames, int incomingFrames, std::uint64_t nowMicros);

    int sampleRate;
    int targetFrames;
    int maxTargetFrames;
    int stepFrames;
    int highMarginFrames;
    int maxFrames;
    std::uint64_t sustainMicros;
    bool playing = false;
    std::optional<std::uint64_t> overSince;
};

// Elements released in order once their due time has come; due times never go backwards.
template <class Element>
class DelayLine {
public:
    bool isEmpty() const { return head_ >= items_.size(); }
    std::size_t count() const { return items_.size() - std::min(head_, items_.size()); }
    std::optional<std::uint64_t> nextDue() const {
        return isEmpty() ? std::nullopt : std::optional(items_[head_].first);
    }
    void push(Element element, std::uint64_t nowMicros, std::uint64_t delayMicros) {
        const std::uint64_t due = std::max(lastDue_, nowMicros + delayMicros);
        lastDue_ = due;
        items_.emplace_back(due, std::move(element));
    }
    std::vector<Element> popDue(std::uint64_t nowMicros) {
        std::vector<Element> due;
        while (head_ < items_.size() && items_[head_].first <= nowMicros)
            due.push_back(std::move(items_[head_++].second));
        // Compacts only once the popped prefix is large, so popping stays cheap.
        if (head_ > 64 && items_.size() < 2 * head_) {
            items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
        return due;
    }
    // The first element, due or not.
    std::optional<Element> popFirst() {
        if (isEmpty()) return std::nullopt;
        return std::move(items_[head_++].second);
    }
    void removeAll() {
        items_.clear();
        head_ = 0;
        lastDue_ = 0;
    }

private:
    std::vector<std::pair<std::uint64_t, Element>> items_;
    std::size_t head_ = 0;
    std::uint64_t lastDue_ = 0;
};

// The session's audio side: requests host audio after a welcome when the user wants it, runs one
// AudioPlayback per offered stream, keeps the video delay in force while audio plays and publishes
// the measured audio-minus-video lag. Main executor only.
class ConnectionAudio final : public SessionAudio, public std::enable_shared_from_this<ConnectionAudio> {
public:
    using PlaybackFactory = std::function<std::shared_ptr<AudioPlayback>(const protocol::AudioFormat&)>;

    ConnectionAudio(base::Executor& main, const base::Clock& clock, PlaybackFactory makePlayback);

    void startIfOffered(const std::optional<protocol::AudioFormat>& offer, Send send) override;
    void receive(base::Bytes packet) override;
    void noteVideoDelivered(std::uint64_t ptsMicros) override;
    void end() override;

    // Set by the client model.
    void setPlaybackSupported(bool supported) { playbackSupported_ = supported; }
    void setMuted(bool muted);
    void setVideoDelaySettingMillis(int millis);

    bool hostAudioAvailable() const { return hostAudioAvailable_; }
    int effectiveVideoDelayMillis() const override { return effectiveVideoDelayMillis_; }
    std::optional<int> audioLagMillis() const { return audioLagMillis_; }
    bool audioRequested() const { return audioRequested_; }
    const AVSyncEstimator& avSync() const { return avSync_; }
    // After any of the three published values changed.
    std::function<void()> onChange;

private:
    void beginAudio(const protocol::AudioFormat& format);
    void endAudio();
    void applyAudioToggle();
    void updateEffectiveVideoDelay();
    void publishAudioLag();
    void playoutReported(std::uint64_t session, std::uint64_t pts, std::uint64_t playout);
    void request(bool enabled);
    template <class T>
    void publish(T& field, T value);

    base::Executor& main_;
    const base::Clock& clock_;
    PlaybackFactory makePlayback_;
    bool playbackSupported_ = false;
    bool muted_ = false;
    int videoDelaySettingMillis_ = 0;
    bool hostAudioAvailable_ = false;
    int effectiveVideoDelayMillis_ = 0;
    std::optional<int> audioLagMillis_;
    std::shared_ptr<AudioPlayback> playback_;
    AVSyncEstimator avSync_;
    std::uint64_t lastLagPublishedAt_ = 0;
    std::optional<protocol::AudioFormat> offeredAudio_;
    bool audioRequested_ = false;
    // The welcome this audio answers: its send function, and a number that tells its playout
    // reports from those of earlier welcomes.
    Send send_;
    std::uint64_t session_ = 0;
};

}  // namespace orvanta::client
