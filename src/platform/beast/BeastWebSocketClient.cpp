#include "platform/beast/BeastWebSocketClient.h"

#include <utility>  // ahead of Asio, for g++ 12 in C++23 mode

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <deque>
#include <set>
#include <type_traits>

#include "base/DispatchQueue.h"
#include "platform/beast/TlsClientContext.h"
#include "platform/beast/UrlTarget.h"

namespace orvanta::platform {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;
using Kind = WebSocketError::Kind;
using ReceiveCompletion = WebSocketChannel::ReceiveCompletion;
using SendCompletion = WebSocketChannel::SendCompletion;
using PingCompletion = WebSocketChannel::PingCompletion;

// Bounds the closing handshake, so that a silent peer cannot hold a cancelled channel open.
constexpr auto kClosingHandshakeTimeout = std::chrono::seconds(5);

std::expected<UrlTarget, WebSocketError> parseTarget(const std::string& text) {
    auto target = parseUrlTarget(text, "ws", "wss");
    if (!target) return std::unexpected(WebSocketError{Kind::invalidUrl, target.error() + ": " + text, std::nullopt});
    return *target;
}

// The I/O side of one channel. Every member runs on the client's queue.
class Session {
public:
    virtual ~Session() = default;
    virtual void start() = 0;
    virtual void send(WebSocketMessage message, SendCompletion completion) = 0;
    virtual void receive(ReceiveCompletion completion) = 0;
    virtual void ping(PingCompletion completion) = 0;
    virtual void cancel(std::uint16_t code, std::string reason) = 0;
    // Fails the channel while it is still opening.
    virtual void abortOpening(WebSocketError error) = 0;
    // The client is going away: close the socket and drop every completion.
    virtual void detach() = 0;
};

using Registry = std::set<std::shared_ptr<Session>>;
// How a session ended, kept for operations that reach it after it is gone; used on the queue.
using Outcome = std::shared_ptr<std::optional<WebSocketError>>;

template <bool Tls>
class StreamSession final : public Session, public std::enable_shared_from_this<StreamSession<Tls>> {
    using Next = std::conditional_t<Tls, beast::ssl_stream<beast::tcp_stream>, beast::tcp_stream>;

public:
    StreamSession(asio::io_context& io, asio::ssl::context& tls, UrlTarget target, WebSocketOptions options,
                  base::Executor& executor, Registry& registry, Outcome outcome, base::TaskHandle openTimer)
        : target_(std::move(target)),
          outcome_(std::move(outcome)),
          options_(options),
          executor_(executor),
          registry_(registry),
          openTimer_(std::move(openTimer)),
          resolver_(io) {
        if constexpr (Tls) {
            ws_.emplace(io, tls);
        } else {
            ws_.emplace(io);
        }
    }

    void start() override {
        if (phase_ != Phase::opening) return;
        resolver_.async_resolve(
            target_.host, target_.service,
            [self = this->shared_from_this()](const ErrorCode& error, tcp::resolver::results_type results) {
                self->resolved(error, results);
            });
    }

    void send(WebSocketMessage message, SendCompletion completion) override {
        if (failure_)
            return deliver(std::move(completion), std::expected<void, WebSocketError>(std::unexpected(*failure_)));
        sends_.push_back({std::move(message), std::move(completion)});
        writeNext();
    }

    void receive(ReceiveCompletion completion) override {
        if (failure_) {
            return deliver(std::move(completion),
                           std::expected<WebSocketMessage, WebSocketError>(std::unexpected(*failure_)));
        }
        if (ahead_) {
            auto message = std::move(*ahead_);
            ahead_.reset();
            deliver(std::move(completion), std::expected<WebSocketMessage, WebSocketError>(std::move(message)));
            return readIfNeeded();
        }
        receiver_ = std::move(completion);
        readIfNeeded();
    }

    void ping(PingCompletion completion) override {
        if (failure_)
            return deliver(std::move(completion), std::expected<void, WebSocketError>(std::unexpected(*failure_)));
        pings_.push_back({std::move(completion), false});
        pingNext();
        readIfNeeded();
    }

    void cancel(std::uint16_t code, std::string reason) override {
        if (phase_ == Phase::ended) return;
        bool wasOpen = phase_ == Phase::open;
        end({Kind::cancelled, {}, std::nullopt});
        if (!wasOpen) return closeSocket();
        ws_->async_close(websocket::close_reason(static_cast<websocket::close_code>(code), reason),
                         [self = this->shared_from_this()](const ErrorCode&) { self->closeSocket(); });
    }

    void abortOpening(WebSocketError error) override {
        if (phase_ != Phase::opening) return;
        end(std::move(error));
        closeSocket();
    }

    void detach() override {
        detached_ = true;
        if (phase_ != Phase::ended) end({Kind::cancelled, {}, std::nullopt});
        closeSocket();
    }

private:
    enum class Phase { opening, open, ended };

    struct Outgoing {
        WebSocketMessage message;
        SendCompletion completion;
    };

    struct Ping {
        PingCompletion completion;
        bool sent = false;  // a pong from now on answers it
    };

    void resolved(const ErrorCode& error, const tcp::resolver::results_type& results) {
        if (phase_ != Phase::opening) return;
        if (error) return fail({Kind::unreachable, "cannot resolve " + target_.host + ": " + error.message(), {}});
        beast::get_lowest_layer(*ws_).async_connect(
            results, [self = this->shared_from_this()](const ErrorCode& connectError, const tcp::endpoint&) {
                self->connected(connectError);
            });
    }

    void connected(const ErrorCode& error) {
        if (phase_ != Phase::opening) return;
        if (error) {
            return fail({Kind::unreachable, "cannot connect to " + target_.hostHeader + ": " + error.message(), {}});
        }
        if constexpr (Tls) {
            expectTlsPeer(ws_->next_layer().native_handle(), target_.host);
            ws_->next_layer().async_handshake(
                asio::ssl::stream_base::client,
                [self = this->shared_from_this()](const ErrorCode& handshakeError) { self->secured(handshakeError); });
        } else {
            upgrade();
        }
    }

    void secured(const ErrorCode& error) {
        if (phase_ != Phase::opening) return;
        if constexpr (Tls) {
            if (error)
                return fail({Kind::tlsFailure, describeTlsFailure(ws_->next_layer().native_handle(), error), {}});
        }
        upgrade();
    }

    void upgrade() {
        websocket::stream_base::timeout timeouts{kClosingHandshakeTimeout, websocket::stream_base::none(), false};
        ws_->set_option(timeouts);
        ws_->read_message_max(options_.maxMessageBytes);
        ws_->async_handshake(response_, target_.hostHeader, target_.path,
                             [self = this->shared_from_this()](const ErrorCode& error) { self->upgraded(error); });
    }

    void upgraded(const ErrorCode& error) {
        if (phase_ != Phase::opening) return;
        if (error) {
            if (response_.result_int() != 0 && response_.result() != http::status::switching_protocols) {
                return fail({Kind::handshakeRefused, "HTTP status " + std::to_string(response_.result_int()), {}});
            }
            return fail(classify(error));
        }
        phase_ = Phase::open;
        openTimer_.cancel();
        // Runs inside a read, which holds the session.
        ws_->control_callback([this](websocket::frame_type kind, beast::string_view) {
            if (kind == websocket::frame_type::pong) ponged();
        });
        readIfNeeded();
        writeNext();
        pingNext();
    }

    // Control frames are only seen while a read is pending, so a ping waiting for its pong keeps
    // one going, holding at most one message for the next receive.
    void readIfNeeded() {
        if (phase_ != Phase::open || reading_ || ahead_ || (!receiver_ && pings_.empty())) return;
        reading_ = true;
        ws_->async_read(
            buffer_, [self = this->shared_from_this()](const ErrorCode& error, std::size_t) { self->readDone(error); });
    }

    void readDone(const ErrorCode& error) {
        reading_ = false;
        if (phase_ != Phase::open) return;
        if (error) return fail(classify(error));
        WebSocketMessage message;
        if (ws_->got_text()) {
            message = WebSocketText{beast::buffers_to_string(buffer_.data())};
        } else {
            const auto* bytes = static_cast<const std::uint8_t*>(buffer_.data().data());
            message = WebSocketBinary{base::Bytes(bytes, bytes + buffer_.size())};
        }
        buffer_.consume(buffer_.size());
        if (auto completion = std::exchange(receiver_, nullptr)) {
            deliver(std::move(completion), std::expected<WebSocketMessage, WebSocketError>(std::move(message)));
        } else {
            ahead_ = std::move(message);
        }
        readIfNeeded();
    }

    // Beast takes one ping at a time.
    void pingNext() {
        if (phase_ != Phase::open || pinging_) return;
        auto next = std::ranges::find_if(pings_, [](const Ping& ping) { return !ping.sent; });
        if (next == pings_.end()) return;
        next->sent = true;
        pinging_ = true;
        ws_->async_ping({}, [self = this->shared_from_this()](const ErrorCode& error) { self->pinged(error); });
    }

    void pinged(const ErrorCode& error) {
        pinging_ = false;
        if (phase_ != Phase::open) return;
        if (error) return fail(classify(error));
        pingNext();
    }

    void ponged() {
        while (!pings_.empty() && pings_.front().sent) {
            deliver(std::move(pings_.front().completion), std::expected<void, WebSocketError>());
            pings_.pop_front();
        }
    }

    void writeNext() {
        if (phase_ != Phase::open || writing_ || sends_.empty()) return;
        writing_ = true;
        auto& front = sends_.front();
        if (auto* text = std::get_if<WebSocketText>(&front.message)) {
            ws_->text(true);
            ws_->async_write(
                asio::buffer(text->text),
                [self = this->shared_from_this()](const ErrorCode& error, std::size_t) { self->written(error); });
        } else {
            auto& binary = std::get<WebSocketBinary>(front.message);
            ws_->binary(true);
            ws_->async_write(
                asio::buffer(binary.data),
                [self = this->shared_from_this()](const ErrorCode& error, std::size_t) { self->written(error); });
        }
    }

    void written(const ErrorCode& error) {
        writing_ = false;
        auto done = std::move(sends_.front());
        sends_.pop_front();
        if (error) {
            auto failure = failure_.value_or(classify(error));
            deliver(std::move(done.completion), std::expected<void, WebSocketError>(std::unexpected(failure)));
            return fail(failure);
        }
        deliver(std::move(done.completion), std::expected<void, WebSocketError>());
        writeNext();
    }

    WebSocketError classify(const ErrorCode& error) const {
        if (error == websocket::error::closed) {
            const auto& reason = ws_->reason();
            return {Kind::closed, std::string(reason.reason.c_str()), static_cast<std::uint16_t>(reason.code)};
        }
        if (error == websocket::error::message_too_big || error == websocket::error::buffer_overflow) {
            return {Kind::tooLarge, error.message(), {}};
        }
        if (error == asio::error::operation_aborted) return {Kind::cancelled, {}, {}};
        if (error.category() == asio::error::get_ssl_category() && error != asio::ssl::error::stream_truncated) {
            return {Kind::tlsFailure, error.message(), {}};
        }
        return {Kind::connectionLost, error.message(), {}};
    }

    // Ends the channel with `error`, failing what waits; an in-flight write reports on its own.
    void end(WebSocketError error) {
        phase_ = Phase::ended;
        failure_ = error;
        *outcome_ = error;
        openTimer_.cancel();
        resolver_.cancel();
        if (auto completion = std::exchange(receiver_, nullptr)) {
            deliver(std::move(completion), std::expected<WebSocketMessage, WebSocketError>(std::unexpected(error)));
        }
        for (auto& ping : std::exchange(pings_, {})) {
            deliver(std::move(ping.completion), std::expected<void, WebSocketError>(std::unexpected(error)));
        }
        std::size_t keep = writing_ ? 1 : 0;
        while (sends_.size() > keep) {
            deliver(std::move(sends_.back().completion), std::expected<void, WebSocketError>(std::unexpected(error)));
            sends_.pop_back();
        }
        // Completions still to come hold the session; the registry no longer needs to.
        registry_.erase(this->shared_from_this());
    }

    void fail(WebSocketError error) {
        if (phase_ == Phase::ended) return;
        end(std::move(error));
        closeSocket();
    }

    void closeSocket() {
        ErrorCode ignored;
        beast::get_lowest_layer(*ws_).socket().close(ignored);
    }

    template <class Result>
    void deliver(std::function<void(Result)> completion, Result result) {
        if (detached_ || !completion) return;
        executor_.async([completion = std::move(completion), result = std::move(result)]() mutable {
            completion(std::move(result));
        });
    }

    UrlTarget target_;
    Outcome outcome_;
    WebSocketOptions options_;
    base::Executor& executor_;
    Registry& registry_;
    base::TaskHandle openTimer_;
    Phase phase_ = Phase::opening;
    bool detached_ = false;
    std::optional<WebSocketError> failure_;
    ReceiveCompletion receiver_;
    std::deque<Outgoing> sends_;
    bool writing_ = false;
    std::deque<Ping> pings_;  // in call order; the sent ones first
    bool pinging_ = false;
    bool reading_ = false;
    std::optional<WebSocketMessage> ahead_;  // read while no receive waited

    tcp::resolver resolver_;
    std::optional<websocket::stream<Next>> ws_;
    websocket::response_type response_;
    beast::flat_buffer buffer_;
};

}  // namespace

struct BeastWebSocketClient::Impl {
    explicit Impl(const Options& options) : tls(makeClientTlsContext(options.trustedCertificatesPem)) {}

    asio::ssl::context tls;
    Registry sessions;  // open and opening channels, on the queue
    // Declared last: its pending work holds sessions that use the members above.
    base::DispatchQueue queue{"orvanta.websocket"};
};

namespace {

// The caller's side of a channel: hops every operation to the client's queue, and notes the
// peer's close code as completions pass through on the caller's executor.
class BeastChannel final : public WebSocketChannel, public std::enable_shared_from_this<BeastChannel> {
public:
    BeastChannel(std::weak_ptr<BeastWebSocketClient::Impl> impl, std::weak_ptr<Session> session, Outcome outcome,
                 base::Executor& executor, std::optional<WebSocketError> failure)
        : impl_(std::move(impl)),
          session_(std::move(session)),
          outcome_(std::move(outcome)),
          executor_(executor),
          failure_(std::move(failure)) {}

    ~BeastChannel() override { cancel(1001, {}); }

    void send(WebSocketMessage message, SendCompletion completion) override {
        if (failure_) return failLater(std::move(completion), *failure_);
        auto watchedCompletion = watched(std::move(completion));
        hop([message = std::move(message), watchedCompletion](
                Session& session) mutable { session.send(std::move(message), std::move(watchedCompletion)); },
            watchedCompletion);
    }

    void receive(ReceiveCompletion completion) override {
        if (failure_) return failLater(std::move(completion), *failure_);
        auto watchedCompletion = watched(std::move(completion));
        hop([watchedCompletion](Session& session) mutable { session.receive(std::move(watchedCompletion)); },
            watchedCompletion);
    }

    void ping(PingCompletion completion) override {
        if (failure_) return failLater(std::move(completion), *failure_);
        auto watchedCompletion = watched(std::move(completion));
        hop([watchedCompletion](Session& session) mutable { session.ping(std::move(watchedCompletion)); },
            watchedCompletion);
    }

    void cancel(std::uint16_t code, std::string reason) override {
        if (cancelled_) return;
        cancelled_ = true;
        hop([code, reason = std::move(reason)](Session& session) mutable { session.cancel(code, std::move(reason)); },
            std::function<void(std::expected<void, WebSocketError>)>());
    }

    std::optional<std::uint16_t> closeCode() const override { return closeCode_; }

private:
    // Runs `fn` on the queue; once the session has ended and gone, `completion` gets how it ended.
    template <class Fn, class Result>
    void hop(Fn&& fn, std::function<void(Result)> completion) {
        auto impl = impl_.lock();
        if (!impl) return;
        impl->queue.async([&executor = executor_, session = session_, outcome = outcome_, fn = std::forward<Fn>(fn),
                           completion = std::move(completion)]() mutable {
            if (auto live = session.lock()) return fn(*live);
            if (!completion) return;
            failOn(executor, std::move(completion),
                   outcome->value_or(WebSocketError{Kind::connectionLost, "closed", {}}));
        });
    }

    template <class Result>
    std::function<void(Result)> watched(std::function<void(Result)> completion) {
        return [weak = weak_from_this(), completion = std::move(completion)](Result result) {
            if (!result && result.error().closeCode) {
                if (auto self = weak.lock()) self->closeCode_ = result.error().closeCode;
            }
            completion(std::move(result));
        };
    }

    template <class Result>
    void failLater(std::function<void(Result)> completion, WebSocketError error) {
        failOn(executor_, std::move(completion), std::move(error));
    }

    template <class Result>
    static void failOn(base::Executor& executor, std::function<void(Result)> completion, WebSocketError error) {
        executor.async([completion = std::move(completion), error = std::move(error)] {
            completion(Result(std::unexpected(error)));
        });
    }

    std::weak_ptr<BeastWebSocketClient::Impl> impl_;
    std::weak_ptr<Session> session_;
    Outcome outcome_;
    base::Executor& executor_;
    std::optional<WebSocketError> failure_;  // the URL was refused before any I/O
    std::optional<std::uint16_t> closeCode_;
    bool cancelled_ = false;
};

}  // namespace

BeastWebSocketClient::BeastWebSocketClient() : BeastWebSocketClient(Options{}) {}

BeastWebSocketClient::BeastWebSocketClient(Options options) : impl_(std::make_shared<Impl>(options)) {}

BeastWebSocketClient::~BeastWebSocketClient() {
    impl_->queue.sync([impl = impl_.get()] {
        auto sessions = std::move(impl->sessions);
        impl->sessions.clear();
        for (const auto& session : sessions) session->detach();
    });
}

std::shared_ptr<WebSocketChannel> BeastWebSocketClient::open(const std::string& url, const WebSocketOptions& options,
                                                             base::Executor& executor) {
    auto target = parseTarget(url);
    auto outcome = std::make_shared<std::optional<WebSocketError>>();
    if (!target)
        return std::make_shared<BeastChannel>(impl_, std::weak_ptr<Session>(), outcome, executor, target.error());

    std::weak_ptr<Impl> weakImpl = impl_;
    auto weakSession = std::make_shared<std::weak_ptr<Session>>();
    auto timeout = options.openTimeout;
    // The time-out runs on the caller's clock and hops to the queue, where the session may be gone.
    auto timer = executor.asyncAfter(timeout, [weakImpl, weakSession, timeout] {
        auto impl = weakImpl.lock();
        if (!impl) return;
        impl->queue.async([session = *weakSession, timeout] {
            if (auto live = session.lock()) {
                live->abortOpening({Kind::timedOut, "not open within " + std::to_string(timeout.count() / 1000) + " ms",
                                    std::nullopt});
            }
        });
    });
    std::shared_ptr<Session> session;
    if (target->tls) {
        session = std::make_shared<StreamSession<true>>(impl_->queue.context(), impl_->tls, std::move(*target), options,
                                                        executor, impl_->sessions, outcome, timer);
    } else {
        session = std::make_shared<StreamSession<false>>(impl_->queue.context(), impl_->tls, std::move(*target),
                                                         options, executor, impl_->sessions, outcome, timer);
    }
    *weakSession = session;
    auto channel = std::make_shared<BeastChannel>(impl_, session, outcome, executor, std::nullopt);
    impl_->queue.async([impl = impl_.get(), session = std::move(session)] {
        impl->sessions.insert(session);
        session->start();
    });
    return channel;
}

}  // namespace orvanta::platform
