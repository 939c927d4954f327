#include "host/transport/WebSocket.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>

#include "base/Uuid.h"
#include "host/transport/Support.h"

namespace orvanta::host {
namespace {

constexpr std::size_t kReadMaxBytes = 65536;
constexpr std::chrono::microseconds kCloseHandshakeMicros = std::chrono::seconds(10);
// Frames written with one gathered write; more would only delay the first completions.
constexpr std::size_t kMaxFramesPerWrite = 64;
constexpr std::uint16_t kProtocolErrorCode = 1002;
constexpr std::uint16_t kPolicyViolationCode = 1008;
constexpr std::uint16_t kMessageTooBigCode = 1009;

// The reason's UTF-8 cut to the whole characters that fit; anything invalid becomes U+FFFD first,
// so the frame is valid whatever the caller passed.
std::string cutReason(std::string_view reason) {
    std::string out;
    for (char32_t scalar : base::decodeUtf8Lossy(reason)) {
        std::string next;
        base::appendUtf8(next, scalar);
        if (out.size() + next.size() > WebSocketConnection::kCloseReasonMaxBytes) break;
        out += next;
    }
    return out;
}

base::Bytes closePayload(std::optional<std::uint16_t> code, std::string_view reason) {
    if (!code) return {};
    std::string payload{static_cast<char>(*code >> 8), static_cast<char>(*code & 0xFF)};
    payload += reason;
    return base::toBytes(payload);
}

}  // namespace

struct WebSocketConnection::Outbound {
    base::Bytes bytes;
    std::int64_t counted = 0;  // 0 for close frames, which do not count as in flight
    Completion completion;     // called on the owner's executor with the write's outcome
    bool finishOnError = false;
};

// Everything the transport queue touches. Pending socket operations hold it, so the socket and the
// buffers being written stay alive until Asio is done with them, whatever became of the connection.
struct WebSocketConnection::Transport {
    Transport(std::shared_ptr<base::DispatchQueue> transportQueue, boost::asio::ip::tcp::socket connected,
              base::Executor& ownerQueue)
        : queue(std::move(transportQueue)), socket(std::move(connected)), owner(ownerQueue) {}

    std::shared_ptr<base::DispatchQueue> queue;  // first, so that it outlives the socket
    boost::asio::ip::tcp::socket socket;
    base::Executor& owner;
    // Filled by one read at a time; the next read starts only after the owner has handled it.
    std::array<std::uint8_t, kReadMaxBytes> readBuffer{};

    mutable std::mutex writeLock;
    bool writable = true;
    std::int64_t bytesInFlight = 0;
    std::deque<Outbound> queued;
    bool writing = false;  // a write is posted or running; it picks up whatever is queued

    std::vector<Outbound> batch;  // transport queue only
};

std::shared_ptr<WebSocketConnection> WebSocketConnection::create(UpgradedSocket socket, base::Bytes leftover,
                                                                 base::Executor& queue, const base::Clock& clock,
                                                                 LogSink log) {
    return std::make_shared<WebSocketConnection>(Passkey{}, std::move(socket), std::move(leftover), queue, clock,
                                                 std::move(log));
}

WebSocketConnection::WebSocketConnection(Passkey, UpgradedSocket socket, base::Bytes leftover, base::Executor& queue,
                                         const base::Clock& clock, LogSink log)
    : id_(base::makeUuidString()),
      transport_(std::make_shared<Transport>(std::move(socket.transport), std::move(socket.socket), queue)),
      queue_(queue),
      clock_(clock),
      log_(log ? std::move(log) : LogSink(Log::info)),
      leftover_(std::move(leftover)),
      place_(std::move(socket.place)) {}

// Liveness is checked where the owner's state lives: a strong reference taken on the transport
// thread would keep the connection, and its callbacks into the owner, alive across the hop.
template <class Work>
void WebSocketConnection::hop(base::Executor& queue, const std::weak_ptr<WebSocketConnection>& weak, Work work) {
    // A connection already let go of has nobody to tell: the completions of its cancelled transport
    // stay off the owner's executor, which may be going away with the owner.
    if (weak.expired()) return;
    queue.async([weak, work = std::move(work)]() mutable {
        if (auto self = weak.lock()) work(*self);
    });
}

WebSocketConnection::~WebSocketConnection() {
    // An owner that lets go without closing must not leave a read pending on the socket forever.
    if (!isClosed_) cancelTransport();
}

void WebSocketConnection::cancelTransport() {
    boost::asio::post(transport_->socket.get_executor(), [transport = transport_] {
        boost::system::error_code ignored;
        transport->socket.close(ignored);
    });
}

void WebSocketConnection::start() {
    if (std::exchange(started_, true)) return;
    const base::Bytes leftover = std::exchange(leftover_, {});
    if (!leftover.empty()) handle(leftover, false, false);
    if (!isClosed_) readNext();
}

void WebSocketConnection::readNext() {
    boost::asio::post(transport_->socket.get_executor(), [transport = transport_, weak = weak_from_this()] {
        auto completed = [owner = &transport->owner, weak](const boost::system::error_code& error, std::size_t count) {
            hop(*owner, weak, [error, count](WebSocketConnection& self) { self.readCompleted(error, count); });
        };
        transport->socket.async_read_some(boost::asio::buffer(transport->readBuffer), completed);
    });
}

void WebSocketConnection::readCompleted(const boost::system::error_code& error, std::size_t count) {
    if (isClosed_) return;
    const bool complete = error == boost::asio::error::eof;
    handle(base::ByteView(transport_->readBuffer.data(), count), complete, error && !complete);
    if (!isClosed_) readNext();
}

void WebSocketConnection::handle(base::ByteView bytes, bool complete, bool error) {
    receiveStartedAt_ = clock_.uptimeMicros();
    auto events = parser_.append(bytes);
    if (!events) {
        if (isClosing_) {
            finish();
        } else {
            const bool tooLarge = events.error().kind() == WebSocketError::Kind::tooLarge;
            close(tooLarge ? kMessageTooBigCode : kProtocolErrorCode, "invalid frame");
        }
        return;
    }
    for (auto& event : *events) {
        if (isClosed_) return;
        // A close frame ends the handling: what follows it in the same read is never looked at.
        if (auto* close = std::get_if<WebSocketParser::Close>(&event)) {
            answerClose(close->status);
            return;
        }
        handleEvent(event);
    }
    if (complete || error) finish();
}

void WebSocketConnection::handleEvent(WebSocketParser::Event& event) {
    if (isClosing_) return;
    // Callbacks are copied before the call: one may replace or clear itself while it runs.
    if (auto* text = std::get_if<WebSocketParser::Text>(&event)) {
        if (auto callback = onText) callback(std::move(text->text));
    } else if (auto* binary = std::get_if<WebSocketParser::Binary>(&event)) {
        if (auto callback = onBinary) callback(std::move(binary->data));
    } else if (auto* ping = std::get_if<WebSocketParser::Ping>(&event)) {
        answerPing(ping->data);
    }
}

void WebSocketConnection::answerPing(base::ByteView data) {
    if (bytesInFlight() > kPongInFlightLimitBytes) {
        close(kPolicyViolationCode, "not reading");
        return;
    }
    base::Bytes pong = WebSocketParser::frame(data, WebSocketOpcode::pong);
    const auto size = static_cast<std::int64_t>(pong.size());
    std::lock_guard lock(transport_->writeLock);
    if (!transport_->writable) return;
    enqueue(Outbound{std::move(pong), size, {}, true});
}

void WebSocketConnection::answerClose(const std::optional<WebSocketParser::CloseStatus>& status) {
    if (isClosing_) {  // the peer's answer to our close
        finish();
        return;
    }
    std::optional<std::uint16_t> code;
    if (status) code = status->code;
    isClosing_ = true;
    closeCode_ = code;
    scheduleCloseDeadline();
    auto finishWhenWritten = [weak = weak_from_this()](bool) {
        if (auto self = weak.lock()) self->finish();
    };
    {
        std::lock_guard lock(transport_->writeLock);
        transport_->writable = false;
        // Only the code is echoed: the peer's reason is its own.
        enqueue(Outbound{WebSocketParser::frame(closePayload(code, {}), WebSocketOpcode::close), 0,
                         std::move(finishWhenWritten), false});
    }
    notifyClosed();
}

void WebSocketConnection::sendText(std::string_view text) {
    if (bytesInFlight() > kTextInFlightLimitBytes) {
        finish();
        return;
    }
    send(WebSocketParser::frame(base::asBytes(text), WebSocketOpcode::text), std::numeric_limits<std::int64_t>::max());
}

bool WebSocketConnection::send(base::Bytes frame, std::int64_t pendingLimit, Completion completion) {
    const auto size = static_cast<std::int64_t>(frame.size());
    {
        std::lock_guard lock(transport_->writeLock);
        if (transport_->writable && transport_->bytesInFlight <= pendingLimit) {
            enqueue(Outbound{std::move(frame), size, std::move(completion), true});
            return true;
        }
    }
    if (completion) completion(false);
    return false;
}

std::int64_t WebSocketConnection::bytesInFlight() const {
    std::lock_guard lock(transport_->writeLock);
    return transport_->bytesInFlight;
}

void WebSocketConnection::close(std::uint16_t code, std::string_view reason) {
    if (isClosed_ || isClosing_) return;
    {
        std::lock_guard lock(transport_->writeLock);
        transport_->writable = false;
        // Queued behind the frames already counted, so the peer still gets those first. Its write
        // result does not matter: the peer's answer or the deadline ends the connection.
        enqueue(Outbound{
            WebSocketParser::frame(closePayload(code, cutReason(reason)), WebSocketOpcode::close), 0, {}, false});
    }
    isClosing_ = true;
    closeCode_ = code;
    scheduleCloseDeadline();
}

void WebSocketConnection::scheduleCloseDeadline() {
    queue_.asyncAfter(kCloseHandshakeMicros, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->finish();
    });
}

void WebSocketConnection::finish(std::optional<std::uint16_t> code) {
    if (isClosed_) return;
    closeCode_ = code;
    finish();
}

void WebSocketConnection::finish() {
    if (isClosed_) return;
    {
        std::lock_guard lock(transport_->writeLock);
        transport_->writable = false;
    }
    isClosed_ = true;
    place_.reset();
    cancelTransport();
    log_("websocket: transport cancelled id=" + id_ +
         " code=" + (closeCode_ ? std::to_string(*closeCode_) : std::string("EOF/error")));
    notifyClosed();
}

void WebSocketConnection::notifyClosed() {
    auto callback = std::exchange(onClosed, nullptr);
    onText = nullptr;
    onBinary = nullptr;
    if (callback) callback(closeCode_);
}

// MARK: - Writing

// Called with writeLock held, so frames reach the socket in the order their bytes were counted.
void WebSocketConnection::enqueue(Outbound outbound) {
    transport_->bytesInFlight += outbound.counted;
    transport_->queued.push_back(std::move(outbound));
    if (std::exchange(transport_->writing, true)) return;
    boost::asio::post(transport_->socket.get_executor(),
                      [transport = transport_, weak = weak_from_this()] { writeNext(transport, weak); });
}

// Transport queue only: one gathered write at a time, as Asio allows.
void WebSocketConnection::writeNext(const std::shared_ptr<Transport>& transport,
                                    const std::weak_ptr<WebSocketConnection>& weak) {
    {
        std::lock_guard lock(transport->writeLock);
        if (transport->queued.empty()) {
            transport->writing = false;
            return;
        }
        const std::size_t count = std::min(transport->queued.size(), kMaxFramesPerWrite);
        for (std::size_t i = 0; i < count; ++i) {
            transport->batch.push_back(std::move(transport->queued.front()));
            transport->queued.pop_front();
        }
    }
    std::vector<boost::asio::const_buffer> buffers;
    buffers.reserve(transport->batch.size());
    for (const auto& outbound : transport->batch) buffers.push_back(boost::asio::buffer(outbound.bytes));
    // Asio's own completion conditions hand the kernel at most 64 KB per call; a 1 MB video frame
    // would take sixteen trips through the reactor.
    auto wholeFrames = [](const boost::system::error_code& error, std::size_t) -> std::size_t {
        return error ? 0 : std::numeric_limits<std::size_t>::max();
    };
    boost::asio::async_write(transport->socket, buffers, wholeFrames,
                             [transport, weak](const boost::system::error_code& error, std::size_t) {
                                 written(transport, weak, !error);
                                 writeNext(transport, weak);
                             });
}

// The in-flight count drops at once; completions, and the end of the connection after a failed
// write, wait for the owner's executor. Without either there is no hop at all.
void WebSocketConnection::written(const std::shared_ptr<Transport>& transport,
                                  const std::weak_ptr<WebSocketConnection>& weak, bool success) {
    std::vector<std::pair<Completion, bool>> settle;  // completion, finish on failure
    std::int64_t counted = 0;
    for (auto& outbound : std::exchange(transport->batch, {})) {
        counted += outbound.counted;
        if (outbound.completion || (!success && outbound.finishOnError)) {
            settle.emplace_back(std::move(outbound.completion), outbound.finishOnError);
        }
    }
    {
        std::lock_guard lock(transport->writeLock);
        transport->bytesInFlight -= counted;
    }
    if (settle.empty()) return;
    hop(transport->owner, weak, [settle = std::move(settle), success](WebSocketConnection& self) {
        bool failed = false;
        for (const auto& [completion, finishOnError] : settle) {
            if (completion) completion(success);
            failed = failed || (!success && finishOnError);
        }
        if (failed) self.finish();
    });
}

}  // namespace orvanta::host
