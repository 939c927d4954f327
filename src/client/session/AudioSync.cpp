#include "client/session/AudioSync.h"

#include <cmath>

#include "client/session/AudioPlayback.h"

namespace orvanta::client {

namespace AudioRequestPolicy {
Action onToggle(bool welcomed, bool offered, bool requested, bool enabled) {
    if (!welcomed || !offered) return Action::none;
    if (enabled && !requested) return Action::request;
    if (!enabled && requested) return Action::stop;
    return Action::none;
}
}  // namespace AudioRequestPolicy

namespace {

constexpr double kSmoothing = 0.1;
constexpr std::uint64_t kLagPublishIntervalMicros = 1'000'000;

void smooth(std::optional<double>& offset, double sample) {
    offset = offset ? *offset + (sample - *offset) * kSmoothing : sample;
}

double signedDifference(std::uint64_t a, std::uint64_t b) {
    return static_cast<double>(static_cast<std::int64_t>(a - b));
}

bool isStale(std::uint64_t now, std::uint64_t last) {
    return now >= last && now - last >= AVSyncEstimator::staleMicros;
}

}  // namespace

void AVSyncEstimator::audio(std::uint64_t ptsMicros, std::uint64_t playoutMicros) {
    smooth(audioOffset, signedDifference(playoutMicros, ptsMicros));
    lastAudioAt = playoutMicros;
}

void AVSyncEstimator::video(std::uint64_t ptsMicros, std::uint64_t shownMicros) {
    smooth(videoOffset, signedDifference(shownMicros, ptsMicros) + videoDisplayLatencyMicros);
    lastVideoAt = shownMicros;
}

void AVSyncEstimator::resetAudio() {
    audioOffset.reset();
    lastAudioAt = 0;
}

std::optional<double> AVSyncEstimator::audioLagMicros(std::uint64_t nowMicros) const {
    if (!audioOffset || !videoOffset || isStale(nowMicros, lastAudioAt) || isStale(nowMicros, lastVideoAt))
        return std::nullopt;
    return *audioOffset - *videoOffset;
}

AudioJitterPolicy::AudioJitterPolicy(int rate, int targetMillis, int maxTargetMillis, int stepMillis,
                                     int highMarginMillis, int maxMillis, int sustainMillis)
    : sampleRate(rate),
      targetFrames(rate * targetMillis / 1000),
      maxTargetFrames(rate * maxTargetMillis / 1000),
      stepFrames(rate * stepMillis / 1000),
      highMarginFrames(rate * highMarginMillis / 1000),
      maxFrames(rate * maxMillis / 1000),
      sustainMicros(static_cast<std::uint64_t>(sustainMillis) * 1000) {}

void AudioJitterPolicy::reset() {
    playing = false;
    overSince.reset();
}

AudioJitterPolicy::Action AudioJitterPolicy::decide(int queuedFrames, int incomingFrames, std::uint64_t nowMicros) {
    if (!playing) {
        if (queuedFrames + incomingFrames < targetFrames) return Action::schedule;
        playing = true;
        overSince.reset();
        return Action::scheduleAndStart;
    }
    if (queuedFrames <= 0) {
        playing = false;
        overSince.reset();
        targetFrames = std::min(targetFrames + stepFrames, maxTargetFrames);
        return Action::restart;
    }
    if (queuedFrames > maxFrames) return Action::drop;
    if (queuedFrames <= targetFrames + highMarginFrames) {
        overSince.reset();
    } else if (!overSince) {
        overSince = nowMicros;
    } else if (nowMicros - *overSince >= sustainMicros) {
        overSince = nowMicros;
        return Action::drop;
    }
    return Action::schedule;
}

ConnectionAudio::ConnectionAudio(base::Executor& main, const base::Clock& clock, PlaybackFactory makePlayback)
    : main_(main), clock_(clock), makePlayback_(std::move(makePlayback)) {}

void ConnectionAudio::startIfOffered(const std::optional<protocol::AudioFormat>& offer, Send send) {
    send_ = std::move(send);
    ++session_;
    if (!playbackSupported_ || !offer || !offer->isSupportedAACLC()) return;
    offeredAudio_ = offer;
    if (AudioRequestPolicy::requestOnWelcome(true, !muted_)) beginAudio(*offer);
}

void ConnectionAudio::receive(base::Bytes packet) {
    if (playback_) playback_->receive(std::move(packet));
}

void ConnectionAudio::beginAudio(const protocol::AudioFormat& format) {
    auto playback = makePlayback_(format);
    if (!playback) return;
    playback->setMuted(false);
    playback->setOnScheduled([weak = weak_from_this(), session = session_](std::uint64_t pts, std::uint64_t playout) {
        if (auto self = weak.lock()) self->playoutReported(session, pts, playout);
    });
    if (playback_) {
        playback_->setOnScheduled(nullptr);
        playback_->stop();
    }
    playback_ = std::move(playback);
    audioRequested_ = true;
    publish(hostAudioAvailable_, true);
    updateEffectiveVideoDelay();
    request(true);
}

void ConnectionAudio::playoutReported(std::uint64_t session, std::uint64_t pts, std::uint64_t playout) {
    if (session != session_ || !send_) return;
    avSync_.audio(pts, playout);
    publishAudioLag();
}

void ConnectionAudio::endAudio() {
    if (playback_) {
        playback_->setOnScheduled(nullptr);
        playback_->stop();
        playback_.reset();
    }
    avSync_.resetAudio();
    publish(hostAudioAvailable_, false);
    publish(audioLagMillis_, std::optional<int>{});
    updateEffectiveVideoDelay();
}

void ConnectionAudio::end() {
    endAudio();
    avSync_ = {};
    offeredAudio_.reset();
    audioRequested_ = false;
    send_ = nullptr;
}

void ConnectionAudio::setMuted(bool muted) {
    if (muted == muted_) return;
    muted_ = muted;
    applyAudioToggle();
}

void ConnectionAudio::setVideoDelaySettingMillis(int millis) {
    videoDelaySettingMillis_ = millis;
    updateEffectiveVideoDelay();
}

void ConnectionAudio::applyAudioToggle() {
    const bool welcomed = static_cast<bool>(send_);
    switch (AudioRequestPolicy::onToggle(welcomed, offeredAudio_.has_value(), audioRequested_, !muted_)) {
        case AudioRequestPolicy::Action::stop:
            endAudio();
            audioRequested_ = false;
            request(false);
            break;
        case AudioRequestPolicy::Action::request:
            beginAudio(*offeredAudio_);
            break;
        case AudioRequestPolicy::Action::none:
            break;
    }
    updateEffectiveVideoDelay();
}

void ConnectionAudio::updateEffectiveVideoDelay() {
    publish(effectiveVideoDelayMillis_, hostAudioAvailable_ && !muted_ ? std::max(0, videoDelaySettingMillis_) : 0);
}

void ConnectionAudio::noteVideoDelivered(std::uint64_t ptsMicros) {
    if (!hostAudioAvailable_) return;
    const std::uint64_t shown = clock_.uptimeMicros() + static_cast<std::uint64_t>(effectiveVideoDelayMillis_) * 1000;
    avSync_.video(ptsMicros, shown);
}

void ConnectionAudio::publishAudioLag() {
    const std::uint64_t now = clock_.uptimeMicros();
    if (now - lastLagPublishedAt_ < kLagPublishIntervalMicros) return;
    lastLagPublishedAt_ = now;
    const auto lag = avSync_.audioLagMicros(now);
    publish(audioLagMillis_, lag ? std::optional(static_cast<int>(std::lround(*lag / 1000.0))) : std::nullopt);
}

void ConnectionAudio::request(bool enabled) {
    if (send_) send_(protocol::AudioRequest{enabled});
}

template <class T>
void ConnectionAudio::publish(T& field, T value) {
    if (field == value) return;
    field = std::move(value);
    if (onChange) onChange();
}

}  // namespace orvanta::client
