// A device's side of a running host over loopback, as a client program would drive it: a WebSocket
// channel upgraded on any path (its first frames sent with the request when given), masked frames
// out, the host's frames in. Every wait is bounded only to keep a broken test from hanging.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "base/Clock.h"
#include "base/Json.h"
#include "host/transport/WebSocketTestSupport.h"
#include "protocol/VideoPacket.h"

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
        return nextUpgradedFrame(pending_, headRead_, [this] { return readSome(); });
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
    // Ends a read waiting in another thread.
    void shutdown() { ::shutdown(fd_, SHUT_RDWR); }

private:
    // Writes may come from two threads (a reader answering pings, the owner acknowledging frames).
    void write(const base::Bytes& bytes) {
        std::lock_guard guard(writing_);
        ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
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
    std::mutex writing_;
};

// A pad's hello with its token: its id, its viewport and the frame rate it takes, H.264 only and not
// saving power.
inline std::string padHello(const std::string& token, const std::string& deviceId, int width, int height, int maxFps) {
    return base::Json{{"type", "hello"},
                      {"token", token},
                      {"deviceId", deviceId},
                      {"idiom", "pad"},
                      {"viewport", {{"width", width}, {"height", height}}},
                      {"caps", {{"codecs", {"h264"}}, {"lowPower", false}, {"maxFps", maxFps}}}}
        .dump();
}

// A paired device's session as a client keeps it: hello and welcome on the control channel, the
// video channel authenticated with the welcome's ticket, the host's pings answered by a thread of
// its own, and frames acknowledged once shown.
class LoopbackSession {
public:
    static std::expected<std::unique_ptr<LoopbackSession>, std::string> open(std::uint16_t port,
                                                                             const std::string& hello, bool audio) {
        std::unique_ptr<LoopbackSession> session(new LoopbackSession(port));
        session->control_.send(hello);
        auto welcome = session->control_.nextText("welcome");
        if (!welcome) return std::unexpected("no welcome");
        session->welcome = *welcome;
        session->video_.sendJson({{"type", "auth"}, {"ticket", welcome->value("videoTicket", "")}});
        if (audio) session->control_.sendJson({{"type", "audio"}, {"enabled", true}});
        session->keepAlive_ = std::thread([raw = session.get()] { raw->answerPings(); });
        return session;
    }
    ~LoopbackSession() {
        close();
        keepAlive_.join();
    }
    LoopbackSession(const LoopbackSession&) = delete;
    LoopbackSession& operator=(const LoopbackSession&) = delete;

    // The next media packet; nothing when the video channel ended, closed or went quiet.
    std::optional<protocol::VideoPacket> nextPacket() {
        while (auto frame = video_.next()) {
            if (frame->opcode() == 8) return std::nullopt;
            if (frame->opcode() != 2) continue;
            if (auto packet = protocol::VideoPacket::parse(std::move(frame->payload))) return std::move(*packet);
            return std::nullopt;
        }
        return std::nullopt;
    }
    // A control message of the device's own.
    void send(const std::string& text) { control_.send(text); }
    void ack(const protocol::VideoPacketHeader& header) {
        control_.sendJson({{"type", "ack"}, {"gen", header.gen}, {"seq", header.seq}, {"t", uptime()}});
    }
    // Ends both channels at once; reads waiting in other threads return nothing.
    void close() {
        control_.shutdown();
        video_.shutdown();
    }
    // Pings answered so far.
    int pongs() const { return pongs_; }

    base::Json welcome;

private:
    explicit LoopbackSession(std::uint16_t port) : control_(port, "/v2/control"), video_(port, "/v2/video") {}
    static std::uint64_t uptime() { return base::SystemClock::shared().uptimeMicros(); }

    void answerPings() {
        while (auto ping = control_.nextText("ping")) {
            control_.sendJson({{"type", "pong"},
                               {"id", ping->value("id", 0u)},
                               {"t", ping->value("t", std::uint64_t{0})},
                               {"clientTime", uptime()}});
            ++pongs_;
        }
    }

    LoopbackChannel control_;
    LoopbackChannel video_;
    std::thread keepAlive_;
    std::atomic<int> pongs_{0};
};

}  // namespace orvanta::testing
