// A small host on 127.0.0.1 built from the project's own HTTPServer and WebSocketConnection: it
// accepts the control and media channels, answers each hello as the test says (a welcome by
// default) and records what the client sent. Everything runs on the test's executor. With a TLS
// identity it is reached through a TLS front that forwards the decrypted bytes to the server.
#pragma once

#include <utility>  // ahead of Asio, for g++ 12 in C++23 mode

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/DispatchQueue.h"
#include "host/transport/HTTPServer.h"
#include "host/transport/WebSocket.h"
#include "protocol/ControlMessages.h"
#include "support/FakeServiceAdvertiser.h"
#include "support/LoopbackHttpServer.h"
#include "support/ManualExecutor.h"

namespace orvanta::testing {

// Accepts TLS on 127.0.0.1 and relays each connection's plain bytes to `backendPort`.
class TlsFront {
public:
    TlsFront(const TlsIdentity& identity, std::uint16_t backendPort)
        : tls_(boost::asio::ssl::context::tls_server), backendPort_(backendPort) {
        tls_.use_certificate_chain(boost::asio::buffer(identity.certificatePem));
        tls_.use_private_key(boost::asio::buffer(identity.privateKeyPem), boost::asio::ssl::context::pem);
        acceptor_.emplace(queue_.context(), Tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
        port_ = acceptor_->local_endpoint().port();
        queue_.async([this] { accept(); });
    }
    ~TlsFront() {
        queue_.sync([this] {
            boost::system::error_code ignored;
            acceptor_.reset();
            for (auto& weak : links_) {
                if (auto link = weak.lock()) {
                    link->secure.next_layer().close(ignored);
                    link->plain.close(ignored);
                }
            }
        });
    }
    std::uint16_t port() const { return port_; }

private:
    using Tcp = boost::asio::ip::tcp;
    using ErrorCode = boost::system::error_code;
    struct Link {
        Link(boost::asio::io_context& io, boost::asio::ssl::context& tls) : secure(io, tls), plain(io) {}
        boost::asio::ssl::stream<Tcp::socket> secure;
        Tcp::socket plain;
        std::array<char, 65536> up{};
        std::array<char, 65536> down{};
    };

    void accept() {
        auto link = std::make_shared<Link>(queue_.context(), tls_);
        acceptor_->async_accept(link->secure.next_layer(), [this, link](const ErrorCode& error) {
            if (error) return;
            links_.push_back(link);
            link->secure.async_handshake(boost::asio::ssl::stream_base::server, [this, link](const ErrorCode& failed) {
                if (failed) return;
                link->plain.async_connect(Tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), backendPort_),
                                          [link](const ErrorCode& refused) {
                                              if (refused) return;
                                              relay(link, link->secure, link->plain, link->up);
                                              relay(link, link->plain, link->secure, link->down);
                                          });
            });
            accept();
        });
    }

    template <class From, class To>
    static void relay(const std::shared_ptr<Link>& link, From& from, To& to, std::array<char, 65536>& buffer) {
        from.async_read_some(
            boost::asio::buffer(buffer), [link, &from, &to, &buffer](const ErrorCode& error, std::size_t count) {
                if (error) {
                    ErrorCode ignored;
                    link->secure.next_layer().close(ignored);
                    link->plain.close(ignored);
                    return;
                }
                boost::asio::async_write(to, boost::asio::buffer(buffer.data(), count),
                                         [link, &from, &to, &buffer](const ErrorCode& failed, std::size_t) {
                                             if (!failed) relay(link, from, to, buffer);
                                         });
            });
    }

    boost::asio::ssl::context tls_;
    std::uint16_t backendPort_;
    base::DispatchQueue queue_{"test.tls"};
    std::optional<Tcp::acceptor> acceptor_;
    std::uint16_t port_ = 0;
    std::vector<std::weak_ptr<Link>> links_;
};

class LoopbackSessionHost {
public:
    using Connection = host::WebSocketConnection;

    explicit LoopbackSessionHost(ManualExecutor& executor, std::optional<TlsIdentity> identity = std::nullopt)
        : executor_(executor) {
        advertiser_ = std::make_shared<FakeServiceAdvertiser>(executor);
        host::HTTPServerOptions options;
        options.loopback = {boost::asio::ip::address_v4::loopback(), 0};
        options.lan = {boost::asio::ip::address_v4::loopback(), 0};
        options.log = [](std::string_view) {};
        server_ = host::HTTPServer::create(executor, advertiser_, options);
        server_->onControl = [this](auto socket, auto leftover, auto) {
            accept(std::move(socket), std::move(leftover), true);
        };
        server_->onVideo = [this](auto socket, auto leftover, auto) {
            accept(std::move(socket), std::move(leftover), false);
        };
        if (!server_->start("Test Host")) throw std::runtime_error("the test host did not start");
        executor.runUntilIdle();
        if (identity) tlsFront_.emplace(*identity, *server_->loopbackPort());
    }

    ~LoopbackSessionHost() {
        for (auto& connection : controls) connection->close(1001, "");
        for (auto& connection : videos) connection->close(1001, "");
        server_->stop();
        controls.clear();
        videos.clear();
        server_.reset();
        // Connections end through their transport completions and close deadlines, which hold them
        // until they have run; wait for those while the transport queue lives.
        auto alive = [this] {
            return std::ranges::any_of(accepted_, [](const auto& weak) { return !weak.expired(); });
        };
        for (int round = 0; round < 100 && alive(); ++round) {
            executor_.advance(std::chrono::minutes(1));
            executor_.runUntil([&] { return !alive(); }, std::chrono::milliseconds(20));
        }
    }

    std::string baseURL(const std::string& host = "127.0.0.1") const {
        if (tlsFront_) return "https://" + host + ":" + std::to_string(tlsFront_->port());
        return "http://" + host + ":" + std::to_string(*server_->loopbackPort());
    }

    // How a hello is answered; a welcome with ticket "TICKET" by default.
    std::function<void(Connection&, const protocol::Hello&)> onHello = [](Connection& connection,
                                                                          const protocol::Hello&) {
        connection.sendText(*protocol::ControlMessage(protocol::Welcome{"S1", "TICKET"}).jsonString());
    };

    // Lets go of connections that have ended, as a long-running host would.
    void forgetClosed() {
        std::erase_if(controls, [](const auto& connection) { return connection->isClosed(); });
        std::erase_if(videos, [](const auto& connection) { return connection->isClosed(); });
    }

    void sendControl(const protocol::ControlMessage& message) { controls.back()->sendText(*message.jsonString()); }
    void sendVideo(base::ByteView bytes) {
        videos.back()->send(host::WebSocketParser::frame(bytes, host::WebSocketOpcode::binary), 64 << 20);
    }

    std::vector<std::shared_ptr<Connection>> controls;
    std::vector<std::shared_ptr<Connection>> videos;
    std::vector<protocol::ControlMessage> controlMessages;  // every attempt's, in arrival order
    std::vector<std::string> videoTexts;
    std::vector<base::Bytes> videoBinaries;
    std::vector<std::optional<std::uint16_t>> controlCloses;

private:
    void accept(host::UpgradedSocket socket, base::Bytes leftover, bool control) {
        auto connection = Connection::create(std::move(socket), std::move(leftover), executor_, executor_.clock(),
                                             [](std::string_view) {});
        connection->parser().maxMessage = 8 << 20;
        accepted_.push_back(connection);
        Connection* raw = connection.get();
        if (control) {
            controls.push_back(connection);
            connection->onText = [this, raw](std::string text) {
                auto message = protocol::ControlMessage::decode(text);
                if (!message) return;
                controlMessages.push_back(*message);
                if (auto* hello = message->as<protocol::Hello>()) onHello(*raw, *hello);
            };
            connection->onClosed = [this](std::optional<std::uint16_t> code) { controlCloses.push_back(code); };
        } else {
            videos.push_back(connection);
            connection->onText = [this](std::string text) { videoTexts.push_back(std::move(text)); };
            connection->onBinary = [this](base::Bytes bytes) { videoBinaries.push_back(std::move(bytes)); };
        }
        connection->start();
    }

    ManualExecutor& executor_;
    std::vector<std::weak_ptr<Connection>> accepted_;
    std::shared_ptr<FakeServiceAdvertiser> advertiser_;
    std::shared_ptr<host::HTTPServer> server_;
    std::optional<TlsFront> tlsFront_;
};

}  // namespace orvanta::testing
