// System audio: whether it runs, the welcome's offer, its start with back-off.
#include <algorithm>
#include <array>

#include "host/controller/HostController.h"

namespace orvanta::host {
namespace {

// The wait after the first, second, third and every later failure in a row.
constexpr std::array<std::uint64_t, 4> kAudioRetrySeconds{5, 10, 30, 60};
constexpr std::uint64_t kMicrosPerSecond = 1'000'000;

}  // namespace

void HostController::refreshAudio() {
    if (audioWanted()) {
        // Before the retry time the next housekeeping tick asks again.
        if (!audioCapture_ && now() >= audioRetryAt_) startAudio();
        return;
    }
    if (auto capture = std::exchange(audioCapture_, nullptr)) {
        capture->stop();
        publishAudioSending(false);
    }
}

bool HostController::audioWanted() const {
    return session_ && session_->authenticated && session_->audioRequested && !session_->detachedAt &&
           session_->video && sender_->hasConnection() && !paused_;
}

// The session's kind was read from the hello: `other` is exactly a client text other than the
// desktop and Android clients, which have no audio playback.
std::optional<protocol::AudioFormat> HostController::audioOffer(const Session& session) {
    if (session.deviceKind == DeviceKind::other) return std::nullopt;
    return protocol::AudioFormat::aacLC48kStereo();
}

void HostController::startAudio() {
    const auto& media = dependencies_.components.media;
    if (!session_ || !session_->video || !media) return;
    ++audioGeneration_;  // wraps through 0, which is a valid audio generation
    auto capture = media->makeAudioCapture(session_->video, audioGeneration_);
    audioCapture_ = capture;
    // The capture holds its callbacks, so they hold it weakly.
    const std::weak_ptr<HostAudioCapture> weakCapture = capture;
    capture->setErrorHandler(onHostQueue<std::string>(
        [weakCapture](HostController& self, std::string message) { self.audioFailed(weakCapture.lock(), message); }));
    capture->start(onHostQueue<bool>(
        [weakCapture](HostController& self, bool started) { self.audioStarted(weakCapture.lock(), started); }));
}

// A failed start is reported by the capture's error path, not here.
void HostController::audioStarted(const std::shared_ptr<HostAudioCapture>& capture, bool started) {
    if (!started || !capture || capture != audioCapture_) return;
    audioFailures_ = 0;
    publishAudioSending(true);
}

void HostController::audioFailed(const std::shared_ptr<HostAudioCapture>& capture, const std::string& message) {
    if (!capture || capture != audioCapture_) return;
    audioCapture_.reset();
    capture->stop();
    ++audioFailures_;
    const std::size_t index =
        std::min<std::size_t>(static_cast<std::size_t>(audioFailures_ - 1), kAudioRetrySeconds.size() - 1);
    const std::uint64_t delaySeconds = kAudioRetrySeconds[index];
    audioRetryAt_ = now() + delaySeconds * kMicrosPerSecond;
    log("audio capture failed (" + std::to_string(audioFailures_) + "): " + message + "; retry in " +
        std::to_string(delaySeconds) + "s");
    publishAudioSending(false);
}

void HostController::publishAudioSending(bool sending) {
    main_.async([published = published_, sending] {
        if (published->state().audioSending == sending) return;
        published->assign([sending](HostPublishedState& state) { state.audioSending = sending; });
    });
}

}  // namespace orvanta::host
