// A device's side of a running host over loopback, as a client program would drive it: a WebSocket
// channel upgraded on any path (its first frames sent with the request when given), masked frames
// out, the host's frames in. Every wait is bounded only to keep a broken test from hanging.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/Json.h"
#include "host/transport/WebSocketTestSupport.h"

namespace orvanta::testing {

class LoopbackChannel {
public:
    static constexpr int kWaitMillis = 10'000;

    LoopbackChannel(std::uint16_t port, std::string_view path) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("connect failed");
        }
        const std::string request = "GET " + std::string(path) +
                                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                    "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
        write(bytesOf(request));
    }
    ~LoopbackChannel() { ::close(fd_); }
    LoopbackChannel(const LoopbackChannel&) = delete;
    LoopbackChannel& operator=(const LoopbackChannel&) = delete;

    void send(std::string_view text) { write(textFrame(text)); }
    void sendJson(const base::Json& message) { send(message.dump()); }

    // The next frame after the 101 reply; nothing at the end of the stream or when the wait ran out.
    std::optional<ServerFrame> next() {
        while (!headRead_) {
            const std::string_view seen(reinterpret_cast<const char*>(pending_.data()), pending_.size());
            if (const auto end = seen.find("\r\n\r\n"); end != std::string_view::npos) {
                if (!seen.starts_with("HTTP/1.1 101")) return std::nullopt;
                pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(end + 4));
                headRead_ = true;
            } else if (!readSome()) {
                return std::nullopt;
            }
        }
        while (true) {
            if (auto frame = takeServerFrame(pending_)) return frame;
            if (!readSome()) return std::nullopt;
        }
    }

    // The next text frame's JSON of the given type (other frames are skipped).
    std::optional<base::Json> nextText(std::string_view type) {
        while (auto frame = next()) {
            if (frame->opcode() == 8) return std::nullopt;
            if (frame->opcode() != 1) continue;
            auto json = base::Json::parse(std::string(frame->payload.begin(), frame->payload.end()), nullptr, false);
            if (json.is_object() && json.value("type", "") == type) return json;
        }
        return std::nullopt;
    }

    void close() { write(closeFrame(1001)); }

private:
    void write(const base::Bytes& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    bool readSome() {
        pollfd poller{fd_, POLLIN, 0};
        if (::poll(&poller, 1, kWaitMillis) <= 0) return false;
        std::array<std::uint8_t, 65536> buffer;
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n <= 0) return false;
        pending_.insert(pending_.end(), buffer.begin(), buffer.begin() + n);
        return true;
    }

    int fd_;
    bool headRead_ = false;
    base::Bytes pending_;
};

}  // namespace orvanta::testing
