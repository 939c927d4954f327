// The media pipeline: the video channel's attach and detach, and the pipeline runs it feeds.
#include <algorithm>

#include "host/controller/HostController.h"

namespace orvanta::host {
namespace {

constexpr base::Micros kPipelineRetryDelay{2'000'000};
constexpr int kPipelineRetries = 2;  // for a failed capture and for a failed encoder start
constexpr std::int64_t kStreamFpsCap = 60;

platform::DisplayRect displayRect(const platform::ScreenRect& rect) {
    return {rect.x, rect.y, rect.width, rect.height};
}

std::string pixelsText(std::int64_t width, std::int64_t height) {
    return std::to_string(width) + "x" + std::to_string(height) + "px";
}

}  // namespace

void HostController::wireMediaPipeline() {
    pipeline_ = std::make_shared<MediaPipeline>(queue_, clock_, dependencies_.log);
    // Connections may outlive the controller: the callbacks hold it weakly.
    const std::weak_ptr<HostController> weak = weak_from_this();
    pipeline_->session = [weak]() -> std::shared_ptr<Session> {
        auto self = weak.lock();
        return self ? self->session_ : nullptr;
    };
    pipeline_->videoAttached = [weak](const std::shared_ptr<WebSocketConnection>& video) {
        if (auto self = weak.lock()) self->videoAttached(video);
    };
    pipeline_->videoDetached = [weak] {
        if (auto self = weak.lock()) self->videoDetached();
    };
    pipeline_->log = [weak](std::string_view line) {
        if (auto self = weak.lock()) self->log(line);
    };
}

void HostController::acceptVideo(UpgradedSocket socket, base::Bytes leftover) {
    pipeline_->acceptVideo(std::move(socket), std::move(leftover));
}

void HostController::videoAttached(const std::shared_ptr<WebSocketConnection>& video) {
    videoDetachedAt_.reset();
    sender_->attach(video, encoder_ != nullptr);
    log("video attached");
    startPipelineIfNeeded();
    refreshAudio();
}

// The pipeline keeps running: housekeeping stops an idle capture later.
void HostController::videoDetached() {
    detachSender();
    refreshAudio();
    videoDetachedAt_ = now();
    log("video detached");
}

void HostController::startPipelineIfNeeded() {
    if (!session_ || !session_->video || paused_) return;
    if (capture_ || aspectFit_.creationPending() || aspectFit_.restorePending() || pendingFit_) return;
    if (windowFit_ && (windowFit_->suspended || !windowFit_->scWindow)) return;
    const auto& media = dependencies_.components.media;
    if (!media || !dependencies_.components.encoderQueue) return;
    const auto aspectDisplay = aspectCaptureSource();
    auto capture = media->makeCapture(session_->deviceKind);
    capture_ = capture;
    // The capture holds its callbacks, so they hold it weakly.
    const std::weak_ptr<HostCapture> weakCapture = capture;
    capture->setErrorHandler(
        onHostQueue<std::string>([weakCapture, aspectDisplay](HostController& self, std::string message) {
            self.captureFailed(weakCapture.lock(), aspectDisplay, message);
        }));
    capture->start(captureOptions(aspectDisplay),
                   onHostQueue<bool>([weakCapture, aspectDisplay](HostController& self, bool started) {
                       if (auto alive = weakCapture.lock()) self.captureStarted(alive, aspectDisplay, started);
                   }));
}

// The display-aspect display while display aspect fit has selected it for capture; nothing for
// the ordinary source (a fitted window or the physical display).
std::optional<std::uint32_t> HostController::aspectCaptureSource() const {
    if (!aspectFit_.on() || windowFit_ || !aspectApplication_ || !aspectApplication_->captureSelected) {
        return std::nullopt;
    }
    return aspectApplication_->displayID;
}

CaptureStartOptions HostController::captureOptions(std::optional<std::uint32_t> aspectDisplay) const {
    CaptureStartOptions options{.window = std::nullopt,
                                .windowScale = aspectFit_.scale(),
                                .viewport = std::nullopt,
                                .displayID = aspectDisplay.value_or(physicalCaptureDisplayID()),
                                .requireDisplay = aspectDisplay.has_value(),
                                .usePixelSize = aspectDisplay || (highResOn_ && !streamsToPhone()),
                                .aspectOutput = std::nullopt,
                                .minimum = std::nullopt};
    if (windowFit_) {
        options.window = windowFit_->scWindow;
        options.viewport = CaptureSize{windowFit_->viewport.width, windowFit_->viewport.height};
    } else if (session_ && session_->viewportWidth > 0 && session_->viewportHeight > 0) {
        options.viewport = CaptureSize{session_->viewportWidth, session_->viewportHeight};
    }
    if (const auto& display = aspectFit_.virtualDisplay(); aspectDisplay && display && display->size.outputPixels) {
        const auto& output = *display->size.outputPixels;
        options.aspectOutput = CaptureSize{output.width, output.height};
    }
    if (session_ && session_->windowsScreenPixels) {
        options.minimum = CaptureSize{session_->windowsScreenPixels->first, session_->windowsScreenPixels->second};
    }
    return options;
}

// An iPhone, or an Android device whose hello declared the phone idiom.
bool HostController::streamsToPhone() const {
    if (!session_) return false;
    return session_->deviceKind == DeviceKind::iPhone ||
           (session_->deviceKind == DeviceKind::android && session_->hasPhoneIdiom);
}

// A failed start is reported by the capture's error path, not here.
void HostController::captureStarted(const std::shared_ptr<HostCapture>& capture,
                                    std::optional<std::uint32_t> aspectDisplay, bool started) {
    if (!started || capture != capture_) return;
    publish([](HostPublishedState& state) { state.screenCaptureFailed = false; });
    if (const auto displayID = capture->capturedDisplayID()) {
        const auto content = capture->displayContentRect();
        updateInputMapping([&](InputMapping& mapping) {
            mapping.displayID = displayID;
            mapping.displayContentRect = content ? std::optional(displayRect(*content)) : std::nullopt;
        });
        log(std::string("capture: ") + (aspectDisplay == displayID ? "virtual" : "physical") +
            " display active id=" + std::to_string(*displayID));
    }
    const std::uint16_t generation = nextGeneration();
    sender_->setGeneration(generation);
    if (const auto geometry = capture->windowGeometry(); geometry && windowFit_ && !windowFit_->suspended) {
        streamingWindowGeometry_ = geometry;
        updateInputMapping([&](InputMapping& mapping) {
            mapping.targetRect = displayRect(geometry->canvasRect);
            mapping.visibleWindowRect = displayRect(geometry->sourceRect);
        });
    }
    if (windowPointerState_ != WindowPointerState::ready && !pendingFit_ && !aspectFit_.creationPending()) {
        windowPointerState_ = WindowPointerState::awaitingFrame;
        awaitedPointerGen_ = generation;
    }
    startEncoder(capture, generation);
}

// The start blocks for seconds at worst, so it runs on the encoder queue; its answer comes back.
void HostController::startEncoder(const std::shared_ptr<HostCapture>& capture, std::uint16_t gen) {
    auto encoder = dependencies_.components.media->makeEncoder(capture->width(), capture->height());
    auto finish = onHostQueue<bool>(
        [encoder, weakCapture = std::weak_ptr<HostCapture>(capture), gen](HostController& self, bool ready) {
            self.finishEncoderStart(encoder, ready, weakCapture.lock(), gen);
        });
    dependencies_.components.encoderQueue->async([encoder, finish] { finish(encoder->start()); });
}

void HostController::finishEncoderStart(const std::shared_ptr<HostEncoder>& encoder, bool ready,
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

void HostController::runEncoder(const std::shared_ptr<HostEncoder>& encoder,
                                const std::shared_ptr<HostCapture>& capture, std::uint16_t gen) {
    wireEncoderOutputs(encoder, gen);
    if (!capture->showsCursor()) windowsCursor_ = dependencies_.components.media->makeWindowsCursor(gen);
    sender_->recordCaptureStart(now());
    // Frames of a dropped encoder go nowhere. Held weakly, an encoder whose thread waits for the
    // controller's queue in the middle of a frame is released by that thread, never destroyed on
    // the queue it waits for.
    capture->setFrameHandler([weakEncoder = std::weak_ptr<HostEncoder>(encoder)](
                                 std::shared_ptr<const PixelBuffer> picture, std::uint64_t ptsMicros) {
        if (auto alive = weakEncoder.lock()) alive->encode(std::move(picture), ptsMicros);
    });
    encoderStartFailures_ = 0;
    captureErrorRetries_ = 0;
    log("pipeline started gen=" + std::to_string(gen));
    const auto displayID = capture->capturedDisplayID();
    if (displayID && aspectApplication_ && *displayID == aspectApplication_->displayID) {
        activeAspectCaptureID_ = displayID;
        migrateWindowsToVirtualDisplay();
    }
}

// Access units come over synchronously, so the sender sees them in order and the encoder waits
// while the controller's queue is busy; parameter sets need no such wait.
void HostController::wireEncoderOutputs(const std::shared_ptr<HostEncoder>& encoder, std::uint16_t gen) {
    const std::weak_ptr<HostController> weak = weak_from_this();
    const std::weak_ptr<HostEncoder> weakEncoder = encoder;
    encoder->setParametersHandler(onHostQueue<base::Bytes, base::Bytes>(
        [weakEncoder, gen](HostController& self, base::Bytes sps, base::Bytes pps) {
            auto current = weakEncoder.lock();
            if (current && current == self.encoder_)
                self.sendStreamConfig(*current, gen, std::move(sps), std::move(pps));
        }));
    encoder->setEncodedHandler([weak, weakEncoder](base::Bytes avcc, bool isKey, std::uint64_t ptsMicros) {
        auto self = weak.lock();
        if (!self) return;
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

void HostController::sendStreamConfig(const HostEncoder& encoder, std::uint16_t gen, base::Bytes sps, base::Bytes pps) {
    if (session_ && session_->windowsScreenPixels) logWindowsVideo(gen, encoder);
    sender_->setConfig(protocol::StreamConfig{.gen = gen,
                                              .codec = std::string(protocol::StreamConfig::codecH264),
                                              .width = encoder.width(),
                                              .height = encoder.height(),
                                              .fpsCap = kStreamFpsCap,
                                              .sps = std::move(sps),
                                              .pps = std::move(pps)});
}

void HostController::sendEncodedFrame(base::Bytes avcc, bool isKey, std::uint64_t ptsMicros) {
    const bool sent = sender_->sendFrame(std::move(avcc), isKey, ptsMicros);
    const std::uint64_t at = now();
    if (sent && at >= ptsMicros) maxFrameAge_ = std::max(maxFrameAge_, at - ptsMicros);
}

void HostController::logWindowsVideo(std::uint16_t gen, const HostEncoder& encoder) {
    const auto [screenWidth, screenHeight] = *session_->windowsScreenPixels;
    const auto& display = aspectFit_.virtualDisplay();
    const std::string virtualText =
        display ? pixelsText(display->size.pixels.width, display->size.pixels.height) : "none";
    std::string line = "windows video gen=" + std::to_string(gen) +
                       " screenPixels=" + pixelsText(screenWidth, screenHeight) + " virtual=" + virtualText +
                       " stream=" + pixelsText(encoder.width(), encoder.height());
    if (encoder.width() < screenWidth || encoder.height() < screenHeight) {
        line += " limited by 3840x4096px / H.264 " + std::to_string(kMaxMacroblocks) + " macroblocks";
    }
    log(line);
}

void HostController::encoderStartFailed(const std::shared_ptr<HostCapture>& capture) {
    setStatus("符号化の開始に失敗しました");
    log("encoder start failed");
    ++encoderStartFailures_;
    if (encoderStartFailures_ <= kPipelineRetries)
        retryPipeline(capture, "encoder start retry ", encoderStartFailures_);
}

void HostController::captureFailed(const std::shared_ptr<HostCapture>& capture,
                                   std::optional<std::uint32_t> aspectDisplay, const std::string& message) {
    log("capture error: " + message);
    if (!capture || capture != capture_) return;
    publish([](HostPublishedState& state) { state.screenCaptureFailed = true; });
    setStatus("画面取得に失敗: " + message);
    if (aspectDisplay) {
        // The display-aspect sweep starts the pipeline again.
        log("display aspect fit: capture failed id=" + std::to_string(*aspectDisplay) +
            ", retry on next sweep: " + message);
        stopPipeline();
    } else if (windowFit_ && !windowFit_->suspended) {
        stopPipeline();
        clearFailedWindowFitLater();
    } else if (session_ && session_->video && !paused_) {
        ++captureErrorRetries_;
        if (captureErrorRetries_ <= kPipelineRetries) {
            retryPipeline(capture, "capture error retry ", captureErrorRetries_);
        }
    }
}

// A window whose capture failed is given up, unless a newer fit request or a new capture came meanwhile.
void HostController::clearFailedWindowFitLater() {
    queue_.asyncAfter(kPipelineRetryDelay, [weak = weak_from_this(), generation = fitGeneration_] {
        auto self = weak.lock();
        if (!self || self->fitGeneration_ != generation || !self->windowFit_ || self->windowFit_->suspended ||
            self->capture_) {
            return;
        }
        self->clearWindowFit(true, true);
        self->sendWindowState(false, std::nullopt);
    });
}

void HostController::retryPipeline(const std::shared_ptr<HostCapture>& capture, std::string_view what, int count) {
    queue_.asyncAfter(kPipelineRetryDelay, [weak = weak_from_this(), weakCapture = std::weak_ptr<HostCapture>(capture),
                                            line = std::string(what) + std::to_string(count)] {
        auto self = weak.lock();
        const auto failed = weakCapture.lock();
        if (!self || !failed || failed != self->capture_ || !self->session_ || !self->session_->video ||
            self->paused_) {
            return;
        }
        self->log(line);
        self->stopPipeline();
        self->startPipelineIfNeeded();
    });
}

// A still screen brings no next frame to carry the keyframe, so the current picture comes again.
void HostController::forceKeyframe() {
    if (!encoder_) return;
    encoder_->forceKeyframe();
    if (capture_) capture_->repeatLastFrame();
}

// Never waits for the encoder: its last frames are dropped by the sender's generation.
void HostController::stopPipeline() {
    activeAspectCaptureID_.reset();
    updateInputMapping([](InputMapping& mapping) { mapping.displayContentRect.reset(); });
    windowsCursor_.reset();
    if (windowFit_ && !windowFit_->suspended) {
        if (windowPointerState_ == WindowPointerState::ready && input_) input_->releaseHeldPointerInputs();
        windowPointerState_ = WindowPointerState::changing;
    } else if (windowPointerState_ != WindowPointerState::ready) {
        windowPointerState_ = WindowPointerState::changing;
    }
    streamingWindowGeometry_.reset();
    if (auto capture = std::exchange(capture_, nullptr)) capture->stop();
    if (auto encoder = std::exchange(encoder_, nullptr)) encoder->invalidate();
}

void HostController::updateInputMapping(const std::function<void(InputMapping&)>& change) {
    if (!input_) return;
    InputMapping mapping = input_->mapping();
    change(mapping);
    input_->setMapping(mapping);
}

// Main thread. Stored even while nothing streams, so the next pipeline start honours it.
void HostController::setHighRes(bool on) {
    if (on && !dependencies_.components.virtualDisplaysAvailable) return;
    publish([on](HostPublishedState& state) { state.highResEnabled = on; });
    dependencies_.settings->set(StoredHostSettings::kHighResKey, on);
    queue_.async([weak = weak_from_this(), on] {
        if (auto self = weak.lock()) self->applyHighRes(on);
    });
}

// Display aspect fit and window fit choose their own sizes: they pick the mode up at their next start.
void HostController::applyHighRes(bool on) {
    if (on == highResOn_) return;
    highResOn_ = on;
    log(std::string("high-res mode: ") + (on ? "on" : "off"));
    if (aspectFit_.on() || windowFit_ || pendingFit_) return;
    if (session_ && session_->authenticated && !session_->detachedAt && session_->video) {
        stopPipeline();
        startPipelineIfNeeded();
    }
}

// Generations run 1...65535 and wrap to 1: 0 never names a stream.
std::uint16_t HostController::nextGeneration() {
    const auto next = static_cast<std::uint16_t>(genCounter_ + 1);
    genCounter_ = next <= 1 ? 1 : next;
    return genCounter_;
}

}  // namespace orvanta::host
