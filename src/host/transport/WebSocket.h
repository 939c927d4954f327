// The host's side of an upgraded WebSocket: the connection that runs the frame parser and framer
// over one socket with back-pressured sending.
#pragma once

#include <utility>  // ahead of Asio, for g++ 12 in C++23 mode

#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/Bytes.h"
#include "base/Clock.h"
#include "base/DispatchQueue.h"
#include "base/Executor.h"
#include "host/transport/WebSocketParser.h"

namespace orvanta::host {

// A socket taken over after the upgrade, with what must live as long as it does: the transport
// queue whose io_context the socket is bound to (first, so that it outlives the socket), and the
// server's count of the connection, released when the connection ends.
struct UpgradedSocket {
    std::shared_ptr<base::DispatchQueue> transport;
    boost::asio::ip::tcp::socket socket;
    std::shared_ptr<void> place{};
};

// One upgraded host-side WebSocket. Reading, event handling, closing and every callback run on the
// owner's executor; socket I/O runs on the socket's own io_context (the transport queue). `send` and
// `bytesInFlight` may be called from any thread. Owned by shared_ptr: late transport completions find
// it alive or gone, never dangling: they hop to the owner's executor holding it weakly, so nothing
// reaches the owner once it has let go. The executor and clock outlive it and the transport queue's
// work for it; the connection keeps the transport queue alive itself.
class WebSocketConnection final : public std::enable_shared_from_this<WebSocketConnection> {
    struct Passkey {};

public:
    using LogSink = std::function<void(std::string_view)>;
    using Completion = std::function<void(bool)>;

    static constexpr std::int64_t kPongInFlightLimitBytes = 262'144;
    static constexpr std::int64_t kTextInFlightLimitBytes = 4'194'304;
    static constexpr std::size_t kCloseReasonMaxBytes = 120;

    // `socket` is open and bound to its transport queue's io_context; `leftover` holds the bytes read
    // past the upgrade request. `log` receives the end-of-connection line (the host log by default).
    static std::shared_ptr<WebSocketConnection> create(UpgradedSocket socket, base::Bytes leftover,
                                                       base::Executor& queue, const base::Clock& clock,
                                                       LogSink log = {});
    WebSocketConnection(Passkey, UpgradedSocket socket, base::Bytes leftover, base::Executor& queue,
                        const base::Clock& clock, LogSink log);
    ~WebSocketConnection();
    WebSocketConnection(const WebSocketConnection&) = delete;
    WebSocketConnection& operator=(const WebSocketConnection&) = delete;

    // Owner's executor only.
    void start();
    void sendText(std::string_view text);
    void close(std::uint16_t code, std::string_view reason);
    // Ends the connection at once, without a close frame; `code` is what onClosed and the log report.
    void finish(std::optional<std::uint16_t> code);
    WebSocketParser& parser() { return parser_; }
    std::uint64_t receiveStartedAt() const { return receiveStartedAt_; }
    std::optional<std::uint16_t> closeCode() const { return closeCode_; }
    bool isClosing() const { return isClosing_; }
    bool isClosed() const { return isClosed_; }

    // Any thread. Queues `frame` (built by WebSocketParser::frame) when the connection is writable and
    // no more than `pendingLimit` bytes are in flight. A refused frame is dropped and `completion`
    // gets false at once on the caller's thread; otherwise it gets the write's outcome on the owner's
    // executor.
    bool send(base::Bytes frame, std::int64_t pendingLimit, Completion completion = {});
    // Bytes queued or being written, close frames excepted.
    std::int64_t bytesInFlight() const;
    // Canonical upper-case UUID, for the log.
    const std::string& id() const { return id_; }

    // Set on the owner's executor; cleared when the connection ends.
    std::function<void(std::string)> onText;
    std::function<void(base::Bytes)> onBinary;
    // Once, with the close code this side sent, or the peer's when it closed first.
    std::function<void(std::optional<std::uint16_t>)> onClosed;

private:
    struct Transport;
    struct Outbound;

    void readNext();
    void readCompleted(const boost::system::error_code& error, std::size_t count);
    void handle(base::ByteView bytes, bool complete, bool error);
    void handleEvent(WebSocketParser::Event& event);
    void answerPing(base::ByteView data);
    void answerClose(const std::optional<WebSocketParser::CloseStatus>& status);
    void enqueue(Outbound outbound);
    static void writeNext(const std::shared_ptr<Transport>& transport, const std::weak_ptr<WebSocketConnection>& weak);
    static void written(const std::shared_ptr<Transport>& transport, const std::weak_ptr<WebSocketConnection>& weak,
                        bool success);
    void scheduleCloseDeadline();
    void finish();
    // Runs `work` on the owner's executor while the connection is still alive there.
    template <class Work>
    static void hop(base::Executor& queue, const std::weak_ptr<WebSocketConnection>& weak, Work work);
    void notifyClosed();
    void cancelTransport();

    const std::string id_;
    const std::shared_ptr<Transport> transport_;
    base::Executor& queue_;
    const base::Clock& clock_;
    const LogSink log_;
    WebSocketParser parser_;
    base::Bytes leftover_;
    bool started_ = false;
    bool isClosed_ = false;
    bool isClosing_ = false;
    std::optional<std::uint16_t> closeCode_;
    std::uint64_t receiveStartedAt_ = 0;
    std::shared_ptr<void> place_;  // released when the connection ends
};

}  // namespace orvanta::host
