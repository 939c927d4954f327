// A small HTTP/1.1 server on 127.0.0.1 for tests of HTTP clients: it records every request and
// answers as the test says (a reply, raw bytes, silence, an endless body), over TLS with a
// self-signed certificate when given one.
#pragma once

#include <utility>  // ahead of Asio, for g++ 12 in C++23 mode

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/DispatchQueue.h"

namespace orvanta::testing {

struct TlsIdentity {
    std::string certificatePem;
    std::string privateKeyPem;
};

// A self-signed P-256 certificate valid from an hour ago for a day, naming `altNames`
// ("DNS:localhost,IP:127.0.0.1").
inline TlsIdentity makeSelfSignedIdentity(const std::string& altNames) {
    auto fail = [](const char* what) { throw std::runtime_error(std::string("test certificate: ") + what); };
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    if (!key || !cert) fail("allocation");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Orvanta test"), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert.get(), cert.get(), nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, altNames.c_str());
    if (!extension) fail("subjectAltName");
    X509_add_ext(cert.get(), extension, -1);
    X509_EXTENSION_free(extension);
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) fail("signing");

    auto pem = [&](auto write) {
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
        if (!bio || write(bio.get()) != 1) fail("PEM");
        char* data = nullptr;
        long size = BIO_get_mem_data(bio.get(), &data);
        return std::string(data, static_cast<std::size_t>(size));
    };
    return {pem([&](BIO* bio) { return PEM_write_bio_X509(bio, cert.get()); }), pem([&](BIO* bio) {
                return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
            })};
}

class LoopbackHttpServer {
public:
    struct Request {
        std::string method;
        std::string target;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;

        // The first value of a header, by case-insensitive name.
        std::optional<std::string> header(std::string_view wanted) const {
            for (const auto& [name, value] : headers) {
                if (std::ranges::equal(name, wanted, [](unsigned char a, unsigned char b) {
                        return std::tolower(a) == std::tolower(b);
                    })) {
                    return value;
                }
            }
            return std::nullopt;
        }
    };

    struct Reply {
        enum class Mode {
            send,     // write `bytes`, then close
            silent,   // keep the connection open and never answer
            endless,  // write `bytes` as the head, then body chunks until the client goes away
        };
        Mode mode = Mode::send;
        std::string bytes;

        static Reply http(int status, std::string body, std::string extraHeaders = {},
                          std::string contentType = "application/json") {
            std::string head = "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Type: " + contentType +
                               "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders +
                               "Connection: close\r\n\r\n";
            return {Mode::send, head + body};
        }
        static Reply raw(std::string bytes) { return {Mode::send, std::move(bytes)}; }
        static Reply silent() { return {Mode::silent, {}}; }
        static Reply endless() {
            return {Mode::endless,
                    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"};
        }
    };

    using Responder = std::function<Reply(const Request&)>;

    explicit LoopbackHttpServer(Responder responder, std::optional<TlsIdentity> identity = std::nullopt)
        : responder_(std::move(responder)), tls_(boost::asio::ssl::context::tls_server) {
        if (identity) {
            tls_.use_certificate_chain(boost::asio::buffer(identity->certificatePem));
            tls_.use_private_key(boost::asio::buffer(identity->privateKeyPem), boost::asio::ssl::context::pem);
            secure_ = true;
        }
        queue_ = std::make_unique<base::DispatchQueue>("test.http");
        acceptor_.emplace(queue_->context(), Tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
        port_ = acceptor_->local_endpoint().port();
        queue_->async([this] { accept(); });
    }

    ~LoopbackHttpServer() {
        queue_->sync([this] {
            boost::system::error_code ignored;
            acceptor_.reset();
            silent_.clear();
            for (auto& weak : connections_) {
                if (auto connection = weak.lock()) connection->stream.next_layer().close(ignored);
            }
            // No handler may run after this one: a late request would keep a connection past the queue.
            queue_->stop();
        });
        queue_.reset();  // drops the pending handlers and the connections they hold
    }

    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    std::uint16_t port() const { return port_; }
    std::string url(const std::string& host = "127.0.0.1") const {
        return (secure_ ? "https://" : "http://") + host + ":" + std::to_string(port_);
    }
    std::vector<Request> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // Waits in real time until `count` requests arrived; the limit only guards a broken test.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds realLimit = std::chrono::seconds(10)) const {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, realLimit, [&] { return requests_.size() >= count; });
    }

private:
    using Tcp = boost::asio::ip::tcp;
    using ErrorCode = boost::system::error_code;

    struct Connection {
        Connection(boost::asio::io_context& io, boost::asio::ssl::context& tls) : stream(io, tls) {}
        boost::asio::ssl::stream<Tcp::socket> stream;
        std::string input;
        std::string chunk;
    };
    using ConnectionPtr = std::shared_ptr<Connection>;

    template <class Fn>
    void withStream(const ConnectionPtr& connection, Fn&& fn) {
        if (secure_) {
            fn(connection->stream);
        } else {
            fn(connection->stream.next_layer());
        }
    }

    void accept() {
        auto connection = std::make_shared<Connection>(queue_->context(), tls_);
        acceptor_->async_accept(connection->stream.next_layer(), [this, connection](const ErrorCode& error) {
            if (error) return;
            connections_.push_back(connection);
            if (secure_) {
                connection->stream.async_handshake(boost::asio::ssl::stream_base::server,
                                                   [this, connection](const ErrorCode& handshakeError) {
                                                       if (!handshakeError) readHead(connection);
                                                   });
            } else {
                readHead(connection);
            }
            accept();
        });
    }

    void readHead(const ConnectionPtr& connection) {
        withStream(connection, [&](auto& stream) {
            boost::asio::async_read_until(stream, boost::asio::dynamic_buffer(connection->input), "\r\n\r\n",
                                          [this, connection](const ErrorCode& error, std::size_t headSize) {
                                              if (!error) onHead(connection, headSize);
                                          });
        });
    }

    void onHead(const ConnectionPtr& connection, std::size_t headSize) {
        Request request;
        std::string head = connection->input.substr(0, headSize - 4);
        connection->input.erase(0, headSize);
        std::size_t lineEnd = head.find("\r\n");
        std::string startLine = head.substr(0, lineEnd);
        std::size_t space1 = startLine.find(' ');
        std::size_t space2 = startLine.find(' ', space1 + 1);
        request.method = startLine.substr(0, space1);
        request.target = startLine.substr(space1 + 1, space2 - space1 - 1);
        while (lineEnd != std::string::npos) {
            std::size_t start = lineEnd + 2;
            lineEnd = head.find("\r\n", start);
            std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
            std::size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::size_t valueStart = line.find_first_not_of(' ', colon + 1);
            request.headers.emplace_back(line.substr(0, colon),
                                         valueStart == std::string::npos ? "" : line.substr(valueStart));
        }
        std::size_t length = std::stoul(request.header("Content-Length").value_or("0"));
        std::size_t missing = length > connection->input.size() ? length - connection->input.size() : 0;
        withStream(connection, [&](auto& stream) {
            boost::asio::async_read(
                stream, boost::asio::dynamic_buffer(connection->input), boost::asio::transfer_exactly(missing),
                [this, connection, request = std::move(request), length](const ErrorCode& error, std::size_t) mutable {
                    if (error) return;
                    request.body = connection->input.substr(0, length);
                    respond(connection, std::move(request));
                });
        });
    }

    void respond(const ConnectionPtr& connection, Request request) {
        Reply reply = responder_(request);
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(std::move(request));
        }
        arrived_.notify_all();
        if (reply.mode == Reply::Mode::silent) {
            silent_.push_back(connection);  // open until the server goes
            return;
        }
        connection->chunk = std::move(reply.bytes);
        bool endless = reply.mode == Reply::Mode::endless;
        withStream(connection, [&](auto& stream) {
            boost::asio::async_write(stream, boost::asio::buffer(connection->chunk),
                                     [this, connection, endless](const ErrorCode& error, std::size_t) {
                                         if (error) return;
                                         if (endless) return writeForever(connection);
                                         ErrorCode ignored;
                                         connection->stream.next_layer().shutdown(Tcp::socket::shutdown_send, ignored);
                                     });
        });
    }

    void writeForever(const ConnectionPtr& connection) {
        constexpr std::size_t kChunkBytes = 16 * 1024;
        if (connection->chunk.size() != kChunkBytes + 8) {
            connection->chunk = "4000\r\n" + std::string(kChunkBytes, 'x') + "\r\n";
        }
        withStream(connection, [&](auto& stream) {
            boost::asio::async_write(stream, boost::asio::buffer(connection->chunk),
                                     [this, connection](const ErrorCode& error, std::size_t) {
                                         if (!error) writeForever(connection);
                                     });
        });
    }

    Responder responder_;
    boost::asio::ssl::context tls_;
    bool secure_ = false;
    std::unique_ptr<base::DispatchQueue> queue_;
    std::optional<Tcp::acceptor> acceptor_;
    std::uint16_t port_ = 0;
    std::vector<std::weak_ptr<Connection>> connections_;  // on the queue
    std::vector<ConnectionPtr> silent_;                   // on the queue

    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<Request> requests_;
};

}  // namespace orvanta::testing
