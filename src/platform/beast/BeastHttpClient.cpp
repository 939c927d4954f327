#include "platform/beast/BeastHttpClient.h"

#include <utility>  // ahead of Asio, for g++ 12 in C++23 mode

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <stdexcept>
#include <thread>

#include "base/DispatchQueue.h"
#include "platform/beast/TlsClientContext.h"
#include "platform/beast/UrlTarget.h"

namespace orvanta::platform {
namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;
using Kind = HttpError::Kind;

// Far above any real response head, far below what would hurt to buffer.
constexpr std::uint32_t kMaxResponseHeadBytes = 64 * 1024;

std::expected<UrlTarget, HttpError> parseTarget(const std::string& text) {
    auto target = parseUrlTarget(text, "http", "https");
    if (!target) return std::unexpected(HttpError{Kind::invalidUrl, target.error() + ": " + text});
    return *target;
}

std::optional<asio::ip::address> ipAddress(const std::string& host) {
    ErrorCode error;
    auto address = asio::ip::make_address(host, error);
    if (error) return std::nullopt;
    return address;
}

std::expected<std::vector<std::string>, std::string> systemLookUp(const std::string& host) {
    asio::io_context context;
    tcp::resolver resolver(context);
    ErrorCode error;
    auto results = resolver.resolve(host, "", error);
    if (error) return std::unexpected(error.message());
    std::vector<std::string> addresses;
    for (const auto& entry : results) addresses.push_back(entry.endpoint().address().to_string());
    return addresses;
}

bool isHttpParseError(const ErrorCode& error) {
    return error.category() == make_error_code(http::error::bad_version).category();
}

}  // namespace

struct BeastHttpClient::Impl {
    explicit Impl(const Options& options)
        : tls(makeClientTlsContext(options.trustedCertificatesPem)),
          lookUp(options.lookUp ? options.lookUp : LookUp(systemLookUp)) {}

    asio::ssl::context tls;
    const LookUp lookUp;
    // Declared after the TLS context: the queue's pending work holds streams that use it.
    base::DispatchQueue queue{"orvanta.http"};
};

namespace {

// One request on one connection. Lives in the handlers of its I/O; every step runs on the
// client's queue, and `done_` makes the first outcome the only one.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(BeastHttpClient::Impl& impl, HttpRequest request, UrlTarget target, base::Executor& executor,
            HttpCompletion completion)
        : request_(std::move(request)),
          target_(std::move(target)),
          executor_(executor),
          completion_(std::move(completion)),
          lookUp_(impl.lookUp),
          stream_(impl.queue.context(), impl.tls),
          waitForLookUp_(impl.queue.context()) {
        parser_.header_limit(kMaxResponseHeadBytes);
        parser_.body_limit(request_.maxResponseBodyBytes);
    }

    void setTimer(base::TaskHandle timer) { timer_ = std::move(timer); }

    void start(const std::weak_ptr<BeastHttpClient::Impl>& weakImpl) {
        if (done_) return;
        if (auto address = ipAddress(target_.host)) return connect({*address});
        // The lookup thread holds the session only weakly: a client destroyed meanwhile takes the
        // session with it. A wait on the queue keeps the session alive until the lookup answers.
        waitForLookUp_.expires_at(asio::steady_timer::time_point::max());
        waitForLookUp_.async_wait([self = shared_from_this()](const ErrorCode&) {});
        std::thread([weakImpl, weakSelf = weak_from_this(), host = target_.host, lookUp = lookUp_] {
            auto addresses = lookUp(host);
            if (auto live = weakImpl.lock()) {
                live->queue.async([weakSelf, addresses = std::move(addresses)] {
                    if (auto self = weakSelf.lock()) self->onLookedUp(addresses);
                });
            }
        }).detach();
    }

    void abort(HttpError error) { finish(std::unexpected(std::move(error))); }

private:
    void onLookedUp(const std::expected<std::vector<std::string>, std::string>& addresses) {
        waitForLookUp_.cancel();
        if (done_) return;
        if (!addresses) return abort({Kind::unreachable, "cannot resolve " + target_.host + ": " + addresses.error()});
        std::vector<asio::ip::address> parsed;
        for (const std::string& text : *addresses) {
            if (auto address = ipAddress(text)) parsed.push_back(*address);
        }
        if (parsed.empty()) return abort({Kind::unreachable, "cannot resolve " + target_.host + ": no address"});
        connect(parsed);
    }

    void connect(const std::vector<asio::ip::address>& addresses) {
        const auto port = static_cast<std::uint16_t>(std::stoul(target_.service));
        std::vector<tcp::endpoint> endpoints;
        for (const auto& address : addresses) endpoints.emplace_back(address, port);
        asio::async_connect(stream_.next_layer(), endpoints,
                            [self = shared_from_this()](const ErrorCode& connectError, const tcp::endpoint&) {
                                self->onConnected(connectError);
                            });
    }

    void onConnected(const ErrorCode& error) {
        if (done_) return;
        if (error)
            return abort({Kind::unreachable, "cannot connect to " + target_.hostHeader + ": " + error.message()});
        if (!target_.tls) return writeRequest();

        expectTlsPeer(stream_.native_handle(), target_.host);
        stream_.async_handshake(
            asio::ssl::stream_base::client,
            [self = shared_from_this()](const ErrorCode& handshakeError) { self->onHandshake(handshakeError); });
    }

    void onHandshake(const ErrorCode& error) {
        if (done_) return;
        if (error) {
            return abort({Kind::tlsFailure, describeTlsFailure(stream_.native_handle(), error)});
        }
        writeRequest();
    }

    // Plain and TLS connections share every step after the handshake.
    template <class Fn>
    void withStream(Fn&& fn) {
        if (target_.tls) {
            fn(stream_);
        } else {
            fn(stream_.next_layer());
        }
    }

    void writeRequest() {
        message_.method_string(request_.method);
        message_.target(target_.path);
        message_.version(11);
        message_.set(http::field::host, target_.hostHeader);
        for (const HttpHeader& header : request_.headers) message_.insert(header.name, header.value);
        message_.keep_alive(false);
        message_.body() = request_.body;
        message_.prepare_payload();
        withStream([this](auto& stream) {
            http::async_write(stream, message_, [self = shared_from_this()](const ErrorCode& error, std::size_t) {
                self->onWritten(error);
            });
        });
    }

    void onWritten(const ErrorCode& error) {
        if (done_) return;
        if (error) return abort({Kind::connectionLost, "sending the request: " + error.message()});
        // The head on its own first: Boost 1.74 loses the body-limit error of a declared length
        // when it parses head and body in one go, and would then buffer any length it is sent.
        withStream([this](auto& stream) {
            http::async_read_header(
                stream, buffer_, parser_,
                [self = shared_from_this()](const ErrorCode& readFailure, std::size_t) { self->onHead(readFailure); });
        });
    }

    void onHead(const ErrorCode& error) {
        if (done_) return;
        if (error) return abort(classifyReadError(error));
        withStream([this](auto& stream) {
            http::async_read(
                stream, buffer_, parser_,
                [self = shared_from_this()](const ErrorCode& readFailure, std::size_t) { self->onRead(readFailure); });
        });
    }

    void onRead(const ErrorCode& error) {
        if (done_) return;
        if (error) return abort(classifyReadError(error));
        const auto& message = parser_.get();
        HttpResponse response;
        response.status = static_cast<int>(message.result_int());
        for (const auto& field : message) {
            response.headers.push_back({std::string(field.name_string()), std::string(field.value())});
        }
        response.body = message.body();
        finish(std::move(response));
    }

    HttpError classifyReadError(const ErrorCode& error) const {
        if (error == http::error::body_limit || error == http::error::header_limit ||
            error == http::error::buffer_overflow) {
            return {Kind::tooLarge, error.message()};
        }
        // Bytes that never made a complete head are not HTTP; a head whose body stops short is a
        // lost connection.
        if (error == http::error::partial_message && !parser_.is_header_done()) {
            return {Kind::notHttp, "incomplete response head"};
        }
        if (isHttpParseError(error) && error != http::error::end_of_stream && error != http::error::partial_message &&
            error != http::error::short_read) {
            return {Kind::notHttp, error.message()};
        }
        if (error.category() == asio::error::get_ssl_category() && error != asio::ssl::error::stream_truncated) {
            return {Kind::tlsFailure, error.message()};
        }
        return {Kind::connectionLost, "reading the response: " + error.message()};
    }

    void finish(HttpResult result) {
        if (done_) return;
        done_ = true;
        timer_.cancel();
        ErrorCode ignored;
        waitForLookUp_.cancel();
        stream_.next_layer().close(ignored);
        executor_.async([completion = std::move(completion_), result = std::move(result)]() mutable {
            completion(std::move(result));
        });
    }

    HttpRequest request_;
    UrlTarget target_;
    base::Executor& executor_;
    HttpCompletion completion_;
    const BeastHttpClient::LookUp lookUp_;
    base::TaskHandle timer_;
    bool done_ = false;

    asio::ssl::stream<tcp::socket> stream_;
    asio::steady_timer waitForLookUp_;
    http::request<http::string_body> message_;
    boost::beast::flat_buffer buffer_;
    http::response_parser<http::string_body> parser_;
};

}  // namespace

BeastHttpClient::BeastHttpClient() : BeastHttpClient(Options{}) {}

BeastHttpClient::BeastHttpClient(Options options) : impl_(std::make_shared<Impl>(options)) {}

BeastHttpClient::~BeastHttpClient() = default;

HttpRequestHandle BeastHttpClient::send(HttpRequest request, base::Executor& executor, HttpCompletion completion) {
    auto target = parseTarget(request.url);
    if (!target) {
        executor.async(
            [completion = std::move(completion), error = target.error()] { completion(std::unexpected(error)); });
        return {};
    }
    base::Micros timeout = request.timeout;
    auto session =
        std::make_shared<Session>(*impl_, std::move(request), std::move(*target), executor, std::move(completion));
    // Time-outs and cancels arrive from other threads; they hop to the queue, and find nothing to
    // do once the session or the client is gone.
    auto abortWith = [weakImpl = std::weak_ptr<Impl>(impl_),
                      weakSession = std::weak_ptr<Session>(session)](HttpError error) {
        auto impl = weakImpl.lock();
        if (!impl) return;
        impl->queue.async([weakSession, error = std::move(error)] {
            if (auto live = weakSession.lock()) live->abort(error);
        });
    };
    auto timer = executor.asyncAfter(timeout, [abortWith, timeout] {
        abortWith({Kind::timedOut, "no complete response within " + std::to_string(timeout.count() / 1000) + " ms"});
    });
    // The handle is handed over on the queue, where the session reads it; the session itself goes
    // along, so that it ends on the queue too.
    impl_->queue.async([session = std::move(session), timer, weakImpl = std::weak_ptr(impl_)] {
        session->setTimer(timer);
        session->start(weakImpl);
    });
    return HttpRequestHandle([abortWith] { abortWith({Kind::cancelled, {}}); });
}

}  // namespace orvanta::platform
