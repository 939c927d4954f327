#include "host/media/AudioCapture.h"

#include <vector>

#include "host/transport/Support.h"

namespace orvanta::host {

// A captured buffer copied off the source's thread.
struct AudioCapture::Captured {
    platform::PcmFormat format;
    std::vector<float> samples;
    double seconds;
};

std::shared_ptr<AudioCapture> AudioCapture::create(std::unique_ptr<platform::SystemAudioSource> source,
                                                   base::Executor& queue, LogSink log) {
    return std::make_shared<AudioCapture>(Passkey{}, std::move(source), queue, std::move(log));
}

AudioCapture::AudioCapture(Passkey, std::unique_ptr<platform::SystemAudioSource> source, base::Executor& queue,
                           LogSink log)
    : source_(std::move(source)), queue_(queue), log_(log ? std::move(log) : LogSink(Log::info)) {}

AudioCapture::~AudioCapture() { source_->stop(); }

void AudioCapture::start(std::function<void(bool)> completion) {
    {
        std::lock_guard guard(lock_);
        stopRequested_ = false;
    }
    queue_.async([self = shared_from_this(), completion = std::move(completion)] { self->runStart(completion); });
}

void AudioCapture::runStart(const std::function<void(bool)>& completion) {
    const std::weak_ptr<AudioCapture> weak = weak_from_this();
    base::Executor& queue = queue_;
    source_->onBuffer = [weak, &queue](const platform::PcmBuffer& buffer) {
        Captured captured{buffer.format, {buffer.samples.begin(), buffer.samples.end()}, buffer.seconds};
        queue.async([weak, captured = std::move(captured)] {
            if (auto self = weak.lock()) self->handle(captured);
        });
    };
    source_->onError = [weak, &queue](std::string text) {
        queue.async([weak, text = std::move(text)] {
            if (auto self = weak.lock()) self->streamFailed(text);
        });
    };
    encoder_ = std::make_unique<AACEncoder>(format_, log_);

    const platform::PcmFormat wanted{static_cast<int>(format_.sampleRate), static_cast<int>(format_.channels)};
    if (auto started = source_->start(wanted); !started) {
        if (onError) onError(started.error());
        return completion(false);
    }
    bool didStart = false;
    {
        std::lock_guard guard(lock_);
        if (!stopRequested_) didStart = streaming_ = running_ = true;
    }
    if (didStart) {
        log_("audio capture started (aac-lc " + std::to_string(format_.sampleRate) + "Hz " +
             std::to_string(format_.channels) + "ch)");
        return completion(true);
    }
    source_->stop();
    log_("audio capture start superseded by stop");
    completion(false);
}

void AudioCapture::stop() {
    bool wasStreaming = false;
    {
        std::lock_guard guard(lock_);
        stopRequested_ = true;
        wasStreaming = streaming_ && running_;
        streaming_ = running_ = false;
    }
    queue_.async([self = shared_from_this(), wasStreaming] {
        self->encoder_.reset();
        if (!wasStreaming) return;
        self->source_->stop();
        self->log_("audio capture stopped");
    });
}

bool AudioCapture::isRunning() {
    std::lock_guard guard(lock_);
    return running_;
}

void AudioCapture::handle(const Captured& captured) {
    if (!isRunning() || !encoder_) return;
    encoder_->encode(
        platform::PcmBuffer{captured.format, captured.samples, captured.seconds}, [this] { return isRunning(); },
        [this](base::Bytes packet, std::uint64_t pts, bool discontinuity) {
            std::lock_guard guard(lock_);
            if (running_ && onPacket) onPacket(std::move(packet), pts, discontinuity);
        });
}

void AudioCapture::streamFailed(const std::string& text) {
    bool stopped = false;
    {
        std::lock_guard guard(lock_);
        stopped = stopRequested_;
        running_ = streaming_ = false;
    }
    source_->stop();  // on the queue, never the source's own thread
    if (!stopped && onError) onError(text);
}

}  // namespace orvanta::host
