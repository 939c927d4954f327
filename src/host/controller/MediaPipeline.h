// The media pipeline's video channel: a video connection authenticates once with the main
// session's ticket within ten seconds, and its close detaches it. On the host queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Bytes.h"
#include "base/Clock.h"
#include "base/Executor.h"
// HostSession.h uses the device kinds and routes without including them.
#include "host/transport/HostSettingsModel.h"
//
#include "host/controller/HostSession.h"
#include "host/transport/WebSocket.h"

namespace orvanta::host {

class MediaPipeline final : public std::enable_shared_from_this<MediaPipeline> {
public:
    static constexpr base::Micros kVideoAuthTimeout{10'000'000};

    // `connectionLog` is what the video connections log through (the host log when unset).
    MediaPipeline(base::Executor& queue, const base::Clock& clock, WebSocketConnection::LogSink connectionLog);

    // Takes a connection the server upgraded on the video path.
    void acceptVideo(UpgradedSocket socket, base::Bytes leftover);
    // Connections that have not authenticated yet.
    std::size_t pendingVideos() const { return pendingVideos_.size(); }

    // Set after construction.
    std::function<std::shared_ptr<HostSession>()> session;  // the main session, if any
    // The session now holds the connection.
    std::function<void(const std::shared_ptr<WebSocketConnection>& video)> videoAttached;
    // The session's video connection closed; the session no longer holds it.
    std::function<void()> videoDetached;
    std::function<void(std::string_view line)> log;

private:
    void authenticate(const std::shared_ptr<WebSocketConnection>& connection, bool& authenticated,
                      const std::string& text);
    void videoClosed(const std::shared_ptr<WebSocketConnection>& connection);

    base::Executor& queue_;
    const base::Clock& clock_;
    WebSocketConnection::LogSink connectionLog_;
    std::vector<std::shared_ptr<WebSocketConnection>> pendingVideos_;
};

}  // namespace orvanta::host
