// Client-side helpers for the WebSocket tests: frames built field by field, so a test can break any
// rule, and a blocking loopback client that reads the host's frames.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "base/Bytes.h"

namespace orvanta::testing {

// One client frame. By default final, masked and with the shortest length form.
struct RawFrame {
    std::uint8_t opcode = 1;
    base::Bytes payload{};
    bool fin = true;
    std::uint8_t rsv = 0;  // OR-ed into byte 0: 0x40, 0x20, 0x10
    bool masked = true;
    int lengthBytes = -1;                           // 0, 2 or 8 to force a length form
    std::optional<std::uint64_t> declaredLength{};  // a length other than the payload's
    std::array<std::uint8_t, 4> key{0x37, 0xFA, 0x21, 0x3D};
};

inline base::Bytes encode(const RawFrame& frame) {
    base::Bytes out;
    out.push_back(static_cast<std::uint8_t>((frame.fin ? 0x80 : 0) | frame.rsv | frame.opcode));
    const std::uint64_t length = frame.declaredLength.value_or(frame.payload.size());
    int form = frame.lengthBytes;
    if (form < 0) form = length < 126 ? 0 : length <= 0xFFFF ? 2 : 8;
    const std::uint8_t maskBit = frame.masked ? 0x80 : 0;
    out.push_back(static_cast<std::uint8_t>(maskBit | (form == 0 ? length : form == 2 ? 126 : 127)));
    for (int shift = (form - 1) * 8; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(length >> shift));
    if (frame.masked) out.insert(out.end(), frame.key.begin(), frame.key.end());
    for (std::size_t i = 0; i < frame.payload.size(); ++i) {
        out.push_back(static_cast<std::uint8_t>(frame.payload[i] ^ (frame.masked ? frame.key[i % 4] : 0)));
    }
    return out;
}

inline base::Bytes bytesOf(std::string_view text) { return base::toBytes(text); }

inline base::Bytes textFrame(std::string_view text, bool fin = true) { return encode({1, bytesOf(text), fin}); }
inline base::Bytes binaryFrame(base::Bytes data, bool fin = true) { return encode({2, std::move(data), fin}); }
inline base::Bytes continuationFrame(std::string_view data, bool fin = true) { return encode({0, bytesOf(data), fin}); }
inline base::Bytes pingFrame(std::string_view data) { return encode({9, bytesOf(data)}); }
inline base::Bytes closeFrame(std::optional<std::uint16_t> code, std::string_view reason = {}) {
    base::Bytes payload;
    if (code) payload = {static_cast<std::uint8_t>(*code >> 8), static_cast<std::uint8_t>(*code & 0xFF)};
    payload.insert(payload.end(), reason.begin(), reason.end());
    return encode({8, std::move(payload)});
}

inline base::Bytes join(std::initializer_list<base::Bytes> parts) {
    base::Bytes out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// A frame as the host sent it.
struct ServerFrame {
    std::uint8_t byte0 = 0;  // FIN, RSV and opcode
    bool masked = false;
    base::Bytes payload;

    std::uint8_t opcode() const { return byte0 & 0x0F; }
    bool operator==(const ServerFrame&) const = default;
};

// Takes one whole frame from the front of `stream`, or nothing while it is incomplete.
inline std::optional<ServerFrame> takeServerFrame(base::Bytes& stream) {
    if (stream.size() < 2) return std::nullopt;
    std::size_t header = 2;
    std::uint64_t length = stream[1] & 0x7F;
    const std::size_t extra = length == 126 ? 2 : length == 127 ? 8 : 0;
    if (stream.size() < header + extra) return std::nullopt;
    if (extra) {
        length = 0;
        for (std::size_t i = 0; i < extra; ++i) length = (length << 8) | stream[2 + i];
    }
    header += extra;
    const bool masked = (stream[1] & 0x80) != 0;
    if (masked) header += 4;
    if (stream.size() < header + length) return std::nullopt;
    ServerFrame frame{stream[0], masked,
                      base::Bytes(stream.begin() + static_cast<std::ptrdiff_t>(header),
                                  stream.begin() + static_cast<std::ptrdiff_t>(header + length))};
    stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(header + length));
    return frame;
}

// The next frame after the upgrade response at the front of `pending`, reading more with
// `readSome` as needed; nothing at the end of the stream or when the upgrade was refused.
template <class ReadSome>
std::optional<ServerFrame> nextUpgradedFrame(base::Bytes& pending, bool& headRead, ReadSome&& readSome) {
    while (!headRead) {
        const std::string_view seen(reinterpret_cast<const char*>(pending.data()), pending.size());
        if (const auto end = seen.find("\r\n\r\n"); end != std::string_view::npos) {
            if (!seen.starts_with("HTTP/1.1 101")) return std::nullopt;
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(end + 4));
            headRead = true;
        } else if (!readSome()) {
            return std::nullopt;
        }
    }
    while (true) {
        if (auto frame = takeServerFrame(pending)) return frame;
        if (!readSome()) return std::nullopt;
    }
}

// A blocking client socket on 127.0.0.1. Every wait is bounded, only to keep a broken test from
// hanging; no test relies on the bound.
class RawClient {
public:
    static constexpr int kWaitMillis = 10'000;

    // `receiveBuffer` other than 0 shrinks the socket's receive buffer (before connecting, so the
    // advertised window is small too).
    RawClient(std::uint16_t port, int receiveBuffer = 0) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (fd_ < 0) throw std::runtime_error("socket failed");
        if (receiveBuffer) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("connect failed");
        }
    }
    ~RawClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool write(base::ByteView bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        }
        return true;
    }

    // The next whole frame; nothing at the end of the stream, on an error or when the wait runs out.
    std::optional<ServerFrame> readFrame() {
        while (true) {
            if (auto frame = takeServerFrame(pending_)) return frame;
            if (!readSome()) return std::nullopt;
        }
    }

    // Reads until the host ends the stream; the bytes that came before the end, or nothing when the
    // wait ran out first. Bytes already buffered count.
    std::optional<base::Bytes> readToEnd() {
        while (readSome()) {
        }
        if (!ended_) return std::nullopt;
        return std::exchange(pending_, {});
    }

    void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }
    // Closes with a reset instead of an orderly end.
    void reset() {
        linger hard{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(std::exchange(fd_, -1));
    }

private:
    bool readSome() {
        pollfd poller{fd_, POLLIN, 0};
        if (::poll(&poller, 1, kWaitMillis) <= 0) return false;
        std::array<std::uint8_t, 65536> buffer;
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            ended_ = n == 0 || errno == ECONNRESET;
            return false;
        }
        pending_.insert(pending_.end(), buffer.begin(), buffer.begin() + n);
        return true;
    }

    int fd_;
    base::Bytes pending_;
    bool ended_ = false;
};

}  // namespace orvanta::testing
