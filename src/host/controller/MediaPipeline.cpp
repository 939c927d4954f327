#include "host/controller/MediaPipeline.h"

#include <algorithm>

#include "base/Crypto.h"
#include "protocol/ControlMessages.h"

namespace orvanta::host {

MediaPipeline::MediaPipeline(base::Executor& queue, const base::Clock& clock,
                             WebSocketConnection::LogSink connectionLog)
    : queue_(queue), clock_(clock), connectionLog_(std::move(connectionLog)) {}

void MediaPipeline::acceptVideo(UpgradedSocket socket, base::Bytes leftover) {
    auto connection = WebSocketConnection::create(std::move(socket), std::move(leftover), queue_, clock_, connectionLog_);
    pendingVideos_.push_back(connection);
    auto authenticated = std::make_shared<bool>(false);
    const std::weak_ptr<MediaPipeline> weak = weak_from_this();
    const std::weak_ptr<WebSocketConnection> weakConnection = connection;
    connection->onText = [weak, weakConnection, authenticated](std::string text) {
        auto self = weak.lock();
        auto alive = weakConnection.lock();
        if (self && alive) self->authenticate(alive, *authenticated, text);
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

void MediaPipeline::authenticate(const std::shared_ptr<WebSocketConnection>& connection, bool& authenticated,
                                 const std::string& text) {
    if (authenticated) return;
    const auto message = protocol::ControlMessage::decode(text);
    const auto* auth = message ? message->as<protocol::Auth>() : nullptr;
    const auto current = session();
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

// The pipeline keeps running: housekeeping stops an idle capture later.
void MediaPipeline::videoClosed(const std::shared_ptr<WebSocketConnection>& connection) {
    std::erase(pendingVideos_, connection);
    const auto current = session();
    if (!current || current->video != connection) return;
    current->video.reset();
    videoDetached();
}

}  // namespace orvanta::host
