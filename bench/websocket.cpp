// The host's WebSocket: how fast client frames are parsed, and how fast large binary messages (video
// access units) leave through a connection to a peer that keeps reading.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

// Asio's scheduler trips g++ 12's -Wnull-dereference once inlined at -O3 here; the code is Asio's.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnull-dereference"
#include "base/DispatchQueue.h"
#include "host/transport/WebSocket.h"
#pragma GCC diagnostic pop

namespace {

using orvanta::base::Bytes;
using orvanta::base::ByteView;
using orvanta::host::WebSocketConnection;
using orvanta::host::WebSocketOpcode;
using orvanta::host::WebSocketParser;

Bytes randomBytes(std::size_t size, std::mt19937& random) {
    Bytes bytes(size);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
    return bytes;
}

// A final masked binary frame as a client sends it.
Bytes maskedBinaryFrame(const Bytes& payload, std::mt19937& random) {
    Bytes frame = {0x82, 0x80 | 127};
    for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(static_cast<std::uint8_t>(payload.size() >> shift));
    const Bytes key = randomBytes(4, random);
    frame.insert(frame.end(), key.begin(), key.end());
    for (std::size_t i = 0; i < payload.size(); ++i) frame.push_back(payload[i] ^ key[i % 4]);
    return frame;
}

// 64 KB masked binary frames fed as 64 KB reads, so frame and read boundaries drift apart the way
// they do on a socket.
void BM_ParseMaskedBinaryFrames64K(benchmark::State& state) {
    constexpr std::size_t kPayloadBytes = 65536;
    constexpr std::size_t kReadBytes = 65536;
    constexpr int kFrames = 16;
    std::mt19937 random(7);
    Bytes stream;
    for (int i = 0; i < kFrames; ++i) {
        const Bytes frame = maskedBinaryFrame(randomBytes(kPayloadBytes, random), random);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    WebSocketParser parser;
    std::size_t messages = 0;
    for (auto _ : state) {
        for (std::size_t at = 0; at < stream.size(); at += kReadBytes) {
            auto events = parser.append(ByteView(stream).subspan(at, std::min(kReadBytes, stream.size() - at)));
            if (!events) state.SkipWithError("parser refused the stream");
            messages += events->size();
            benchmark::DoNotOptimize(events);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
    state.counters["messages"] = static_cast<double>(messages);
}
BENCHMARK(BM_ParseMaskedBinaryFrames64K);

// A peer on loopback that reads and drops everything until the host ends the stream.
class DrainingPeer {
public:
    explicit DrainingPeer(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) std::abort();
        reader_ = std::thread([fd = fd_] {
            std::vector<char> buffer(1 << 20);
            while (::recv(fd, buffer.data(), buffer.size(), 0) > 0) {
            }
        });
    }
    ~DrainingPeer() {
        ::shutdown(fd_, SHUT_RDWR);
        reader_.join();
        ::close(fd_);
    }

private:
    int fd_;
    std::thread reader_;
};

// 1 MB binary messages, framed and sent with up to four in flight, the way the video sender keeps
// the socket busy; a message counts once its write has completed.
void BM_SendBinaryMessages1MB(benchmark::State& state) {
    constexpr std::size_t kMessageBytes = 1 << 20;
    constexpr int kInFlight = 4;
    auto transport = std::make_shared<orvanta::base::DispatchQueue>("zq2.transport");
    orvanta::base::DispatchQueue owner("zq2.host");
    boost::asio::ip::tcp::acceptor acceptor(transport->context(),
                                            boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    auto peer = std::make_unique<DrainingPeer>(acceptor.local_endpoint().port());
    boost::asio::ip::tcp::socket socket(transport->context());
    acceptor.accept(socket);
    auto connection = WebSocketConnection::create({transport, std::move(socket)}, {}, owner,
                                                  orvanta::base::SystemClock::shared(), [](std::string_view) {});
    owner.sync([&] { connection->start(); });

    std::mt19937 random(11);
    const Bytes payload = randomBytes(kMessageBytes, random);
    std::mutex mutex;
    std::condition_variable settled;
    int outstanding = 0;
    bool failed = false;
    auto done = [&](bool ok) {
        std::lock_guard lock(mutex);
        --outstanding;
        failed = failed || !ok;
        settled.notify_all();
    };
    for (auto _ : state) {
        {
            std::unique_lock lock(mutex);
            settled.wait(lock, [&] { return outstanding < kInFlight; });
            ++outstanding;
        }
        connection->send(WebSocketParser::frame(payload, WebSocketOpcode::binary),
                         std::numeric_limits<std::int64_t>::max(), done);
    }
    {
        std::unique_lock lock(mutex);
        settled.wait(lock, [&] { return outstanding == 0; });
    }
    if (failed) state.SkipWithError("a write failed");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMessageBytes));

    peer.reset();
    owner.sync([&] { connection.reset(); });
    transport->sync([] {});
}
BENCHMARK(BM_SendBinaryMessages1MB)->UseRealTime();

}  // namespace
