// The video channel, and a run's start and stop.
#include "host/controller/MediaPipeline.h"

#include <algorithm>

#include "base/Crypto.h"
#include "protocol/ControlMessages.h"

namespace orvanta::host {

MediaPipeline::MediaPipeline(base::Executor& queue, const base::Clock& clock,
                             WebSocketConnection::LogSink connectionLog, Media media)
    : queue_(queue), clock_(clock), connectionLog_(std::move(connectionLog)), media_(std::move(media)) {}

void MediaPipeline::post(base::Micros delay, std::function<void(MediaPipeline&)> task) {
    queue_.asyncAfter(delay, [weak = weak_from_this(), task = std::move(task)] {
        auto self = weak.lock();
        auto owner = self ? self->owner_.lock() : nullptr;
        if (owner) task(*self);
    });
}

void MediaPipeline::acceptVideo(UpgradedSocket socket, base::Bytes leftover) {
    auto connection = WebSocketConnection::create(std::move(socket), std::move(leftover), queue_, clock_, connectionLog_);
    pendingVideos_.push_back(connection);
    auto authenticated = std::make_shared<bool>(false);
    const std::weak_ptr<MediaPipeline> weak = weak_from_this();
    const std::weak_ptr<WebSocketConnection> weakConnection = connection;
    connection->onText = [weak, weakConnection, authenticated](std::string text) {
        auto self = weak.lock();
        auto owner = self ? self->owner_.lock() : nullptr;
        auto alive = weakConnection.lock();
        if (owner && alive) self->authenticate(alive, *authenticated, text);
    };
    connection->onClosed = [weak, weakConnection](std::optional<std::uint16_t>) {
        auto self = weak.lock();
        auto owner = self ? self->owner_.lock() : nullptr;
        auto alive = weakConnection.lock();
        if (owner && alive) self->videoClosed(alive);
    };
    connection->start();
    queue_.asyncAfter(kVideoAuthTimeout, [weakConnection, authenticated] {
        if (auto alive = weakConnection.lock(); alive && !*authenticated) alive->close(4003, "auth timeout");
    });
}

void MediaPipeline::authenticate(const std::shared_ptr<WebSocketConnection>& connection, bool& authenticated,
                                 const std::string& text) {
    if (authenticated) return;
    const auto message = protocol::ControlMessage::decode(text);
    const auto* auth = message ? message->as<protocol::Auth>() : nullptr;
    const auto current = host.session();
    const bool accepted = auth && current && current->authenticated && !current->detachedAt && !current->ticketUsed &&
                          base::constantTimeEqual(base::asBytes(auth->ticket), base::asBytes(current->ticket));
    if (!accepted) {
        connection->close(4003, "auth failed");
        log("video auth failed");
        return;
    }
    authenticated = true;
    current->ticketUsed = true;
    current->video = connection;
    std::erase(pendingVideos_, connection);
    videoAttached(connection);
}

void MediaPipeline::videoAttached(const std::shared_ptr<WebSocketConnection>& connection) {
    videoDetachedAt_.reset();
    media_.sender->attach(connection, encoder_ != nullptr);
    log("video attached");
    startIfNeeded();
    host.videoChanged();
}

// The run keeps going: housekeeping stops an idle capture later.
void MediaPipeline::videoClosed(const std::shared_ptr<WebSocketConnection>& connection) {
    std::erase(pendingVideos_, connection);
    const auto current = host.session();
    if (!current || current->video != connection) return;
    current->video.reset();
    videoGone(now());
    log("video detached");
}

void MediaPipeline::closeStalledVideo() {
    const auto current = host.session();
    if (!current || !current->video) return;
    log("video stalled (stage2): closing video");
    const auto video = std::exchange(current->video, nullptr);
    videoGone(now());
    video->close(4001, "stalled");
}

void MediaPipeline::videoGone(std::uint64_t at) {
    media_.sender->detach();
    host.videoChanged();
    videoDetachedAt_ = at;
}

void MediaPipeline::stopIfIdle() {
    if (!videoDetachedAt_ || now() <= *videoDetachedAt_ + kIdleCaptureMicros || !capture_) return;
    stop();
    videoDetachedAt_.reset();
    log("capture stopped (no video for 15s)");
}

bool MediaPipeline::streamWanted() const {
    const auto current = host.session();
    return current && current->video && !host.paused();
}

bool MediaPipeline::fitActive() const {
    const auto fitted = fit.current();
    return fitted && !fitted->suspended;
}

void MediaPipeline::startIfNeeded() {
    if (!streamWanted() || capture_) return;
    const auto aspect = displays.aspect();
    if (aspect.creating || aspect.restoring || fit.pending()) return;
    if (const auto fitted = fit.current(); fitted && (fitted->suspended || !fitted->scWindow)) return;
    if (!media_.media || !media_.encoderQueue) return;
    const auto aspectDisplay = aspectCaptureSource();
    auto capture = media_.media->makeCapture(host.session()->deviceKind);
    capture_ = capture;
    // The capture holds its callbacks, so they hold it weakly.
    const std::weak_ptr<HostCapture> weakCapture = capture;
    capture->setErrorHandler(
        onQueue<std::string>([weakCapture, aspectDisplay](MediaPipeline& self, std::string message) {
            self.captureFailed(weakCapture.lock(), aspectDisplay, message);
        }));
    capture->start(captureOptions(aspectDisplay),
                   onQueue<bool>([weakCapture, aspectDisplay](MediaPipeline& self, bool started) {
                       if (auto alive = weakCapture.lock()) self.captureStarted(alive, aspectDisplay, started);
                   }));
}

// The display-aspect display while display aspect fit has selected it for capture; nothing for
// the ordinary source (a fitted window or the physical display).
std::optional<std::uint32_t> MediaPipeline::aspectCaptureSource() const {
    const auto aspect = displays.aspect();
    if (!aspect.on || fit.current() || !aspect.applicationDisplayID || !aspect.captureSelected) return std::nullopt;
    return aspect.applicationDisplayID;
}

CaptureStartOptions MediaPipeline::captureOptions(std::optional<std::uint32_t> aspectDisplay) const {
    const auto aspect = displays.aspect();
    CaptureStartOptions options{
        .window = std::nullopt,
        .windowScale = aspect.scale,
        .viewport = std::nullopt,
        .displayID = aspectDisplay.value_or(displays.physicalCaptureDisplayID()),
        .requireDisplay = aspectDisplay.has_value(),
        .usePixelSize = aspectDisplay || (displays.highRes() && !streamsToPhone()),
        .aspectOutput = std::nullopt,
        .minimum = std::nullopt};
    const auto session = host.session();
    if (const auto fitted = fit.current()) {
        options.window = fitted->scWindow;
        options.viewport = CaptureSize{fitted->viewport.width, fitted->viewport.height};
    } else if (session && session->viewportWidth > 0 && session->viewportHeight > 0) {
        options.viewport = CaptureSize{session->viewportWidth, session->viewportHeight};
    }
    if (aspectDisplay && aspect.virtualSize && aspect.virtualSize->outputPixels) {
        const auto& output = *aspect.virtualSize->outputPixels;
        options.aspectOutput = CaptureSize{output.width, output.height};
    }
    if (session && session->windowsScreenPixels) {
        options.minimum = CaptureSize{session->windowsScreenPixels->first, session->windowsScreenPixels->second};
    }
    return options;
}

// An iPhone, or an Android device whose hello declared the phone idiom.
bool MediaPipeline::streamsToPhone() const {
    const auto session = host.session();
    if (!session) return false;
    return session->deviceKind == DeviceKind::iPhone ||
           (session->deviceKind == DeviceKind::android && session->hasPhoneIdiom);
}

// A still screen brings no next frame to carry the keyframe, so the current picture comes again.
void MediaPipeline::forceKeyframe() {
    if (!encoder_) return;
    encoder_->forceKeyframe();
    if (capture_) capture_->repeatLastFrame();
}

void MediaPipeline::checkStall(std::uint64_t at) { media_.sender->checkStall(at, encoder_.get()); }

void MediaPipeline::sendWindowsCursor(const NormalizedCursor& cursor, std::uint64_t at, WebSocketConnection& control) {
    if (windowsCursor_) windowsCursor_->send(cursor, at, control);
}

void MediaPipeline::stop() {
    activeAspectCaptureID_.reset();
    input.updateMapping([](InputMapping& mapping) { mapping.displayContentRect.reset(); });
    windowsCursor_.reset();
    if (fitActive() || !input.pointerReady()) input.beginPointerChange();
    streamingWindowGeometry_.reset();
    if (auto capture = std::exchange(capture_, nullptr)) capture->stop();
    if (auto encoder = std::exchange(encoder_, nullptr)) encoder->invalidate();
}

// Generations run 1...65535 and wrap to 1: 0 never names a stream.
std::uint16_t MediaPipeline::nextGeneration() {
    const auto next = static_cast<std::uint16_t>(genCounter_ + 1);
    genCounter_ = next <= 1 ? 1 : next;
    return genCounter_;
}

}  // namespace orvanta::host
