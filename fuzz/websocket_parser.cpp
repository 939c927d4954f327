// Arbitrary client bytes, in arbitrary pieces, into the WebSocket frame parser. The first input byte
// picks the message limit; after it, each piece is a length byte followed by up to that many bytes.
// Besides memory safety it checks that where the pieces are cut never changes the outcome, that
// every event keeps the host's rules, and that a failed parser keeps failing the same way.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <variant>
#include <vector>

#include "base/Utf8.h"
#include "host/transport/WebSocket.h"

namespace {

using orvanta::base::ByteView;
using orvanta::host::WebSocketError;
using orvanta::host::WebSocketParser;

// Small limits reach the size rules with small inputs; a few values stand for the extremes.
std::int64_t limitFor(std::uint8_t selector) {
    switch (selector) {
        case 0:
            return WebSocketParser::kDefaultMaxMessage;
        case 0xFE:
            return -1;
        case 0xFF:
            return std::numeric_limits<std::int64_t>::max();
        default:
            return selector;
    }
}

void require(bool condition) {
    if (!condition) std::abort();
}

void checkEvent(const WebSocketParser::Event& event, std::int64_t limit) {
    const auto most = static_cast<std::uint64_t>(limit < 0 ? 0 : limit);
    if (const auto* text = std::get_if<WebSocketParser::Text>(&event)) {
        require(text->text.size() <= most && orvanta::base::isValidUtf8(text->text));
    } else if (const auto* binary = std::get_if<WebSocketParser::Binary>(&event)) {
        require(binary->data.size() <= most);
    } else if (const auto* ping = std::get_if<WebSocketParser::Ping>(&event)) {
        require(ping->data.size() <= 125);
    } else if (const auto* pong = std::get_if<WebSocketParser::Pong>(&event)) {
        require(pong->data.size() <= 125);
    } else if (const auto& close = std::get<WebSocketParser::Close>(event); close.status) {
        require(orvanta::base::isValidUtf8(close.status->reason));
    }
}

struct Outcome {
    std::vector<WebSocketParser::Event> events;
    std::optional<WebSocketError> error;
};

Outcome feed(const std::vector<ByteView>& pieces, std::int64_t limit) {
    WebSocketParser parser(limit);
    Outcome outcome;
    for (ByteView piece : pieces) {
        auto events = parser.append(piece);
        if (!events) {
            outcome.error = events.error();
            auto again = parser.append(piece);
            require(!again && again.error() == events.error());
            return outcome;
        }
        for (auto& event : *events) {
            checkEvent(event, limit);
            outcome.events.push_back(std::move(event));
        }
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::int64_t limit = limitFor(data[0]);
    std::vector<ByteView> pieces;
    std::size_t streamSize = 0;
    for (std::size_t at = 1; at < size;) {
        const std::size_t wanted = data[at++];
        const std::size_t length = std::min(wanted, size - at);
        pieces.emplace_back(data + at, length);
        streamSize += length;
        at += length;
    }
    const Outcome split = feed(pieces, limit);

    std::vector<std::uint8_t> stream;
    stream.reserve(streamSize);
    for (ByteView piece : pieces) stream.insert(stream.end(), piece.begin(), piece.end());
    const Outcome whole = feed({ByteView(stream)}, limit);

    // One append may hold the slack beyond the limit; within it, splitting must not matter.
    constexpr std::size_t kHeldAtMost = 14 + 125;
    if (stream.size() + kHeldAtMost <= WebSocketParser::kBufferSlackBytes) {
        require(split.error == whole.error);
        if (!whole.error) require(split.events == whole.events);
    }
    return 0;
}
