// A run once its capture answers: the encoder's start off the host queue, its outputs to the
// sender, and the retries after a failed capture or encoder start.
#include <algorithm>

#include "host/controller/MediaPipeline.h"

namespace orvanta::host {
namespace {

platform::DisplayRect displayRect(const platform::ScreenRect& rect) {
    return {rect.x, rect.y, rect.width, rect.height};
}

std::string pixelsText(std::int64_t width, std::int64_t height) {
    return std::to_string(width) + "x" + std::to_string(height) + "px";
}

}  // namespace

// A failed start is reported by the capture's error path, not here.
void MediaPipeline::captureStarted(const std::shared_ptr<HostCapture>& capture,
                                   std::optional<std::uint32_t> aspectDisplay, bool started) {
    if (!started || capture != capture_) return;
    host.publishCaptureFailed(false);
    if (const auto displayID = capture->capturedDisplayID()) {
        const auto content = capture->displayContentRect();
        input.updateMapping([&](InputMapping& mapping) {
            mapping.displayID = displayID;
            mapping.displayContentRect = content ? std::optional(displayRect(*content)) : std::nullopt;
        });
        log(std::string("capture: ") + (aspectDisplay == displayID ? "virtual" : "physical") +
            " display active id=" + std::to_string(*displayID));
    }
    const std::uint16_t generation = nextGeneration();
    media_.sender->setGeneration(generation);
    if (const auto geometry = capture->windowGeometry(); geometry && fitActive()) {
        streamingWindowGeometry_ = geometry;
        input.updateMapping([&](InputMapping& mapping) {
            mapping.targetRect = displayRect(geometry->canvasRect);
            mapping.visibleWindowRect = displayRect(geometry->sourceRect);
        });
    }
    if (!input.pointerReady() && !fit.pending() && !displays.aspect().creating) input.awaitFrame(generation);
    startEncoder(capture, generation);
}

// The start blocks for seconds at worst, so it runs on the encoder queue; its answer comes back.
void MediaPipeline::startEncoder(const std::shared_ptr<HostCapture>& capture, std::uint16_t gen) {
    auto encoder = media_.media->makeEncoder(capture->width(), capture->height());
    auto finish = onQueue<bool>(
        [encoder, weakCapture = std::weak_ptr<HostCapture>(capture), gen](MediaPipeline& self, bool ready) {
            self.finishEncoderStart(encoder, ready, weakCapture.lock(), gen);
        });
    media_.encoderQueue->async([encoder, finish] { finish(encoder->start()); });
}

void MediaPipeline::finishEncoderStart(const std::shared_ptr<HostEncoder>& encoder, bool ready,
                                       const std::shared_ptr<HostCapture>& capture, std::uint16_t gen) {
    if (!capture || capture != capture_) {
        encoder->invalidate();
        return;
    }
    encoder_ = encoder;
    if (ready) {
        runEncoder(encoder, capture, gen);
    } else {
        encoderStartFailed(capture);
    }
}

void MediaPipeline::runEncoder(const std::shared_ptr<HostEncoder>& encoder,
                               const std::shared_ptr<HostCapture>& capture, std::uint16_t gen) {
    wireEncoderOutputs(encoder, gen);
    if (!capture->showsCursor()) windowsCursor_ = media_.media->makeWindowsCursor(gen);
    media_.sender->recordCaptureStart(now());
    // Frames of a dropped encoder go nowhere. Held weakly, an encoder whose thread waits for the
    // host queue in the middle of a frame is released by that thread, never destroyed on the
    // queue it waits for.
    capture->setFrameHandler([weakEncoder = std::weak_ptr<HostEncoder>(encoder)](
                                 std::shared_ptr<const PixelBuffer> picture, std::uint64_t ptsMicros) {
        if (auto alive = weakEncoder.lock()) alive->encode(std::move(picture), ptsMicros);
    });
    encoderStartFailures_ = 0;
    captureErrorRetries_ = 0;
    log("pipeline started gen=" + std::to_string(gen));
    const auto displayID = capture->capturedDisplayID();
    if (displayID && displayID == displays.aspect().applicationDisplayID) {
        activeAspectCaptureID_ = displayID;
        displays.migrateWindows();
    }
}

// Access units come over synchronously, so the sender sees them in order and the encoder waits
// while the host queue is busy; parameter sets need no such wait.
void MediaPipeline::wireEncoderOutputs(const std::shared_ptr<HostEncoder>& encoder, std::uint16_t gen) {
    const std::weak_ptr<HostEncoder> weakEncoder = encoder;
    encoder->setParametersHandler(onQueue<base::Bytes, base::Bytes>(
        [weakEncoder, gen](MediaPipeline& self, base::Bytes sps, base::Bytes pps) {
            auto current = weakEncoder.lock();
            if (current && current == self.encoder_)
                self.sendStreamConfig(*current, gen, std::move(sps), std::move(pps));
        }));
    encoder->setEncodedHandler([weak = weak_from_this(), weakEncoder](base::Bytes avcc, bool isKey,
                                                                      std::uint64_t ptsMicros) {
        auto self = weak.lock();
        auto owner = self ? self->owner_.lock() : nullptr;
        if (!owner) return;
        try {
            self->queue_.sync([&] {
                auto current = weakEncoder.lock();
                if (current && current == self->encoder_) self->sendEncodedFrame(std::move(avcc), isKey, ptsMicros);
            });
        } catch (const base::ExecutorStopped&) {
            // The host is shutting down; the frame has nowhere to go.
        }
    });
}

void MediaPipeline::sendStreamConfig(const HostEncoder& encoder, std::uint16_t gen, base::Bytes sps, base::Bytes pps) {
    if (const auto session = host.session(); session && session->windowsScreenPixels) logWindowsVideo(gen, encoder);
    media_.sender->setConfig(protocol::StreamConfig{.gen = gen,
                                                    .codec = std::string(protocol::StreamConfig::codecH264),
                                                    .width = encoder.width(),
                                                    .height = encoder.height(),
                                                    .fpsCap = kStreamFpsCap,
                                                    .sps = std::move(sps),
                                                    .pps = std::move(pps)});
}

void MediaPipeline::sendEncodedFrame(base::Bytes avcc, bool isKey, std::uint64_t ptsMicros) {
    const bool sent = media_.sender->sendFrame(std::move(avcc), isKey, ptsMicros);
    const std::uint64_t at = now();
    if (sent && at >= ptsMicros) maxFrameAge_ = std::max(maxFrameAge_, at - ptsMicros);
}

void MediaPipeline::logWindowsVideo(std::uint16_t gen, const HostEncoder& encoder) {
    const auto [screenWidth, screenHeight] = *host.session()->windowsScreenPixels;
    const auto virtualSize = displays.aspect().virtualSize;
    const std::string virtualText =
        virtualSize ? pixelsText(virtualSize->pixels.width, virtualSize->pixels.height) : "none";
    std::string line = "windows video gen=" + std::to_string(gen) +
                       " screenPixels=" + pixelsText(screenWidth, screenHeight) + " virtual=" + virtualText +
                       " stream=" + pixelsText(encoder.width(), encoder.height());
    if (encoder.width() < screenWidth || encoder.height() < screenHeight) {
        line += " limited by 3840x4096px / H.264 " + std::to_string(kMaxMacroblocks) + " macroblocks";
    }
    log(line);
}

void MediaPipeline::encoderStartFailed(const std::shared_ptr<HostCapture>& capture) {
    host.setStatus("符号化の開始に失敗しました");
    log("encoder start failed");
    ++encoderStartFailures_;
    if (encoderStartFailures_ <= kRetries) retry(capture, "encoder start retry ", encoderStartFailures_);
}

void MediaPipeline::captureFailed(const std::shared_ptr<HostCapture>& capture,
                                  std::optional<std::uint32_t> aspectDisplay, const std::string& message) {
    log("capture error: " + message);
    if (!capture || capture != capture_) return;
    host.publishCaptureFailed(true);
    host.setStatus("画面取得に失敗: " + message);
    if (aspectDisplay) {
        // The display-aspect sweep starts the pipeline again.
        log("display aspect fit: capture failed id=" + std::to_string(*aspectDisplay) +
            ", retry on next sweep: " + message);
        stop();
    } else if (fitActive()) {
        stop();
        giveUpFitLater();
    } else if (streamWanted()) {
        ++captureErrorRetries_;
        if (captureErrorRetries_ <= kRetries) retry(capture, "capture error retry ", captureErrorRetries_);
    }
}

// A window whose capture failed is given up, unless a newer fit request or a new capture came meanwhile.
void MediaPipeline::giveUpFitLater() {
    post(kRetryDelay, [generation = fit.generation()](MediaPipeline& self) {
        if (self.fit.generation() != generation || !self.fitActive() || self.capture_) return;
        self.fit.giveUp();
    });
}

void MediaPipeline::retry(const std::shared_ptr<HostCapture>& capture, std::string_view what, int count) {
    post(kRetryDelay, [weakCapture = std::weak_ptr<HostCapture>(capture),
                       line = std::string(what) + std::to_string(count)](MediaPipeline& self) {
        const auto failed = weakCapture.lock();
        if (!failed || failed != self.capture_ || !self.streamWanted()) return;
        self.log(line);
        self.stop();
        self.startIfNeeded();
    });
}

}  // namespace orvanta::host
