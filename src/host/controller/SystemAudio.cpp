#include "host/controller/SystemAudio.h"

#include <algorithm>
#include <array>

#include "host/controller/QueueHop.h"

namespace orvanta::host {
namespace {

// The wait after the first, second, third and every later failure in a row.
constexpr std::array<std::uint64_t, 4> kRetrySeconds{5, 10, 30, 60};
constexpr std::uint64_t kMicrosPerSecond = 1'000'000;

}  // namespace

SystemAudio::SystemAudio(base::Executor& queue, const base::Clock& clock, std::shared_ptr<HostMedia> media)
    : queue_(queue), clock_(clock), media_(std::move(media)) {}

std::optional<protocol::AudioFormat> SystemAudio::offer(DeviceKind kind) {
    if (kind == DeviceKind::other) return std::nullopt;
    return protocol::AudioFormat::aacLC48kStereo();
}

void SystemAudio::refresh() {
    if (wanted()) {
        if (!capture_ && clock_.uptimeMicros() >= retryAt_) start();
        return;
    }
    if (auto capture = std::exchange(capture_, nullptr)) {
        capture->stop();
        publishSending(false);
    }
}

void SystemAudio::forgetFailures() {
    failures_ = 0;
    retryAt_ = 0;
}

void SystemAudio::start() {
    auto target = connection();
    if (!target || !media_) return;
    ++generation_;  // wraps through 0, which is a valid audio generation
    auto capture = media_->makeAudioCapture(std::move(target), generation_);
    capture_ = capture;
    // The capture holds its callbacks, so they hold it weakly.
    const std::weak_ptr<HostAudioCapture> weakCapture = capture;
    capture->setErrorHandler(hopToQueue<std::string>(
        queue_, weak_from_this(),
        [weakCapture](SystemAudio& self, std::string message) { self.failed(weakCapture.lock(), message); }));
    capture->start(hopToQueue<bool>(queue_, weak_from_this(), [weakCapture](SystemAudio& self, bool running) {
        self.started(weakCapture.lock(), running);
    }));
}

// A failed start is reported by the capture's error path, not here.
void SystemAudio::started(const std::shared_ptr<HostAudioCapture>& capture, bool running) {
    if (!running || !capture || capture != capture_) return;
    failures_ = 0;
    publishSending(true);
}

void SystemAudio::failed(const std::shared_ptr<HostAudioCapture>& capture, const std::string& message) {
    if (!capture || capture != capture_) return;
    capture_.reset();
    capture->stop();
    ++failures_;
    const std::size_t index = std::min<std::size_t>(static_cast<std::size_t>(failures_ - 1), kRetrySeconds.size() - 1);
    const std::uint64_t delaySeconds = kRetrySeconds[index];
    retryAt_ = clock_.uptimeMicros() + delaySeconds * kMicrosPerSecond;
    log("audio capture failed (" + std::to_string(failures_) + "): " + message + "; retry in " +
        std::to_string(delaySeconds) + "s");
    publishSending(false);
}

}  // namespace orvanta::host
