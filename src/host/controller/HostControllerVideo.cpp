// The video channel: its one-time ticket, its close, and starting the pipeline it feeds.
#include <algorithm>

#include "base/Crypto.h"
#include "host/controller/HostController.h"

namespace orvanta::host {

void HostController::acceptVideo(UpgradedSocket socket, base::Bytes leftover) {
    auto connection =
        WebSocketConnection::create(std::move(socket), std::move(leftover), queue_, clock_, dependencies_.log);
    pendingVideos_.push_back(connection);
    auto authenticated = std::make_shared<bool>(false);
    const std::weak_ptr<HostController> weak = weak_from_this();
    const std::weak_ptr<WebSocketConnection> weakConnection = connection;
    connection->onText = [weak, weakConnection, authenticated](std::string text) {
        auto self = weak.lock();
        auto alive = weakConnection.lock();
        if (self && alive) self->authenticateVideo(alive, *authenticated, text);
    };
    connection->onClosed = [weak, weakConnection](std::optional<std::uint16_t>) {
        auto self = weak.lock();
        auto alive = weakConnection.lock();
        if (self && alive) self->videoClosed(alive);
    };
    connection->start();
    queue_.asyncAfter(kVideoAuthTimeout, [weakConnection, authenticated] {
        if (auto alive = weakConnection.lock(); alive && !*authenticated) alive->close(4003, "auth timeout");
    });
}

void HostController::authenticateVideo(const std::shared_ptr<WebSocketConnection>& connection, bool& authenticated,
                                       const std::string& text) {
    if (authenticated) return;
    const auto message = protocol::ControlMessage::decode(text);
    const auto* auth = message ? message->as<protocol::Auth>() : nullptr;
    const bool accepted = auth && session_ && session_->authenticated && !session_->detachedAt &&
                          !session_->ticketUsed &&
                          base::constantTimeEqual(base::asBytes(auth->ticket), base::asBytes(session_->ticket));
    if (!accepted) {
        connection->close(4003, "auth failed");
        log("video auth failed");
        return;
    }
    authenticated = true;
    session_->ticketUsed = true;
    session_->video = connection;
    std::erase(pendingVideos_, connection);
    videoDetachedAt_.reset();
    sender_->attach(connection, encoder_ != nullptr);
    log("video attached");
    startPipelineIfNeeded();
    refreshAudio();
}

// The pipeline keeps running: housekeeping stops an idle capture later.
void HostController::videoClosed(const std::shared_ptr<WebSocketConnection>& connection) {
    std::erase(pendingVideos_, connection);
    if (!session_ || session_->video != connection) return;
    session_->video.reset();
    detachSender();
    refreshAudio();
    videoDetachedAt_ = now();
    log("video detached");
}

void HostController::startPipelineIfNeeded() {
    if (!session_ || !session_->video || paused_ || capture_) return;
    const auto& media = dependencies_.components.media;
    if (!media || !dependencies_.components.encoderQueue) return;
    const std::weak_ptr<HostController> weak = weak_from_this();
    auto capture = media->makeCapture(session_->deviceKind);
    capture_ = capture;
    const std::weak_ptr<HostCapture> started = capture;
    capture->start({}, [weak, started](bool ok) {
        auto self = weak.lock();
        if (!self) return;
        self->queue_.async([weak, started, ok] {
            auto alive = weak.lock();
            auto capture = started.lock();
            if (alive && capture) alive->captureStarted(capture, ok);
        });
    });
}

// A failed start is reported by the capture's error path, not here.
void HostController::captureStarted(const std::shared_ptr<HostCapture>& capture, bool started) {
    if (!started || capture != capture_) return;
    publish([](HostPublishedState& state) { state.screenCaptureFailed = false; });
    const std::uint16_t generation = nextGeneration();
    log("pipeline started gen=" + std::to_string(generation));
}

// Never waits for the encoder: its last frames are dropped by the sender's generation.
void HostController::stopPipeline() {
    if (auto capture = std::exchange(capture_, nullptr)) capture->stop();
    if (auto encoder = std::exchange(encoder_, nullptr)) encoder->invalidate();
}

// Stand-ins until the high-resolution switch is wired.
void HostController::setHighRes(bool) {}
void HostController::applyHighRes(bool) {}

// Generations run 1...65535 and wrap to 1: 0 never names a stream.
std::uint16_t HostController::nextGeneration() {
    const auto next = static_cast<std::uint16_t>(genCounter_ + 1);
    genCounter_ = next <= 1 ? 1 : next;
    return genCounter_;
}

}  // namespace orvanta::host
