// A device's control connection: through the host's listener, the upgrade request and the device's
// first bytes go out together and the host's frames are read past its 101 reply; to a bare acceptor,
// frames alone. Every wait is bounded only to keep a broken test from hanging.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "base/Json.h"
#include "host/transport/WebSocketTestSupport.h"

namespace orvanta::testing {

class HostControlDevice {
public:
    HostControlDevice(std::uint16_t port, const base::Bytes& first, bool upgrade = true)
        : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), headRead_(!upgrade) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("connect failed");
        }
        const std::string request =
            "GET /v2/control HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
        write(join({upgrade ? bytesOf(request) : base::Bytes{}, first}));
    }
    ~HostControlDevice() { ::close(fd_); }
    HostControlDevice(const HostControlDevice&) = delete;
    HostControlDevice& operator=(const HostControlDevice&) = delete;

    void send(std::string_view text) { write(textFrame(text)); }
    void write(const base::Bytes& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

    // The next text frame's JSON, of the given type when one is named (others are skipped).
    std::optional<base::Json> nextText(std::string_view type = {}) {
        while (auto frame = next()) {
            if (frame->opcode() != 1) return std::nullopt;
            auto json = base::Json::parse(std::string(frame->payload.begin(), frame->payload.end()), nullptr, false);
            if (type.empty() || json.value("type", "") == type) return json;
        }
        return std::nullopt;
    }
    // The close frame's code and reason, skipping the frames before it.
    std::optional<std::pair<int, std::string>> nextClose() {
        while (auto frame = next()) {
            if (frame->opcode() != 8 || frame->payload.size() < 2) continue;
            return std::pair<int, std::string>{(frame->payload[0] << 8) | frame->payload[1],
                                               std::string(frame->payload.begin() + 2, frame->payload.end())};
        }
        return std::nullopt;
    }
    // The stream ended with no close frame before its end (the texts before it are skipped).
    bool endsWithoutCloseFrame() {
        while (auto frame = next()) {
            if (frame->opcode() == 8) return false;
        }
        return ended_;
    }

private:
    std::optional<ServerFrame> next() {
        return nextUpgradedFrame(pending_, headRead_, [this] { return readSome(); });
    }
    bool readSome() {
        pollfd poller{fd_, POLLIN, 0};
        if (::poll(&poller, 1, 10'000) <= 0) return false;
        std::array<std::uint8_t, 65536> buffer;
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            ended_ = true;
            return false;
        }
        pending_.insert(pending_.end(), buffer.begin(), buffer.begin() + n);
        return true;
    }

    int fd_;
    bool headRead_;
    base::Bytes pending_;
    bool ended_ = false;
};

}  // namespace orvanta::testing
