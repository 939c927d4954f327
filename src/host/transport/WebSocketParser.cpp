#include "host/transport/WebSocketParser.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace orvanta::host {
namespace {

constexpr std::uint8_t kFinBit = 0x80;
constexpr std::uint8_t kReservedBits = 0x70;
constexpr std::uint8_t kOpcodeBits = 0x0F;
constexpr std::uint8_t kMaskBit = 0x80;
constexpr std::uint8_t kLengthBits = 0x7F;
constexpr std::uint8_t kLength16 = 126;
constexpr std::uint8_t kLength64 = 127;
constexpr std::size_t kMaskBytes = 4;
constexpr std::uint64_t kMaxControlPayloadBytes = 125;

constexpr bool isKnownOpcode(std::uint8_t opcode) {
    switch (static_cast<WebSocketOpcode>(opcode)) {
        case WebSocketOpcode::continuation:
        case WebSocketOpcode::text:
        case WebSocketOpcode::binary:
        case WebSocketOpcode::close:
        case WebSocketOpcode::ping:
        case WebSocketOpcode::pong:
            return true;
    }
    return false;
}

// Codes a peer may put in a close frame (RFC 6455 section 7.4 and the IANA registry). Echoing any
// other would make our reply invalid on the wire.
constexpr bool isSendableCloseCode(std::uint16_t code) {
    if (code >= 3000 && code <= 4999) return true;
    if (code < 1000 || code > 1014) return false;
    return code != 1004 && code != 1005 && code != 1006;
}

// XORs `count` bytes with the key, eight bytes per step. `offset` is the position of `in` within the
// frame's payload, which decides the key byte each input byte starts on.
void unmask(std::uint8_t* out, const std::uint8_t* in, std::size_t count, const std::array<std::uint8_t, 4>& key,
            std::uint64_t offset) {
    std::array<std::uint8_t, 8> pattern;
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = key[(offset + i) % key.size()];
    std::uint64_t word;
    std::memcpy(&word, pattern.data(), sizeof word);
    std::size_t i = 0;
    for (; i + sizeof word <= count; i += sizeof word) {
        std::uint64_t chunk;
        std::memcpy(&chunk, in + i, sizeof chunk);
        chunk ^= word;
        std::memcpy(out + i, &chunk, sizeof chunk);
    }
    for (; i < count; ++i) out[i] = in[i] ^ pattern[i % pattern.size()];
}

// Grows `buffer` by `count` bytes for unmasking into. Capacity doubles, so many small pieces stay
// linear, but never past the frame's declared end, and a declared length costs nothing until its
// bytes arrive: a frame that comes in one read gets exactly one allocation.
template <class Buffer>
std::uint8_t* extend(Buffer& buffer, std::size_t count, std::uint64_t frameLeft) {
    const std::size_t old = buffer.size();
    if (buffer.capacity() - old < count) {
        const std::uint64_t doubled = std::min<std::uint64_t>(std::uint64_t{buffer.capacity()} * 2, old + frameLeft);
        buffer.reserve(static_cast<std::size_t>(std::max<std::uint64_t>(old + count, doubled)));
    }
    buffer.resize(old + count);
    return reinterpret_cast<std::uint8_t*>(buffer.data()) + old;
}

std::unexpected<WebSocketError> fail(WebSocketError::Violation violation, std::uint64_t datum) {
    return std::unexpected(WebSocketError{violation, datum});
}

}  // namespace

WebSocketError::Kind WebSocketError::kind() const {
    switch (violation) {
        case Violation::bufferLimit:
        case Violation::frameLimit:
        case Violation::messageLimit:
            return Kind::tooLarge;
        default:
            return Kind::invalid;
    }
}

std::uint64_t WebSocketParser::limit() const {
    return static_cast<std::uint64_t>(std::max<std::int64_t>(maxMessage, 0));
}

// Bytes held that are not yet part of a message: a partial header and a control frame's payload.
// Data payloads go straight into the message, which `maxMessage` already bounds.
std::uint64_t WebSocketParser::heldBytes() const {
    return headerHave_ + (stage_ == Stage::payload && isControl() ? control_.size() : 0);
}

std::expected<std::vector<WebSocketParser::Event>, WebSocketError> WebSocketParser::append(base::ByteView bytes) {
    if (failure_) return std::unexpected(*failure_);
    auto events = parse(bytes);
    if (!events) failure_ = events.error();
    return events;
}

std::expected<std::vector<WebSocketParser::Event>, WebSocketError> WebSocketParser::parse(base::ByteView input) {
    // limit() is at most 2^63 - 1, so neither sum below can wrap.
    const std::uint64_t bound = limit() + kBufferSlackBytes;
    const std::uint64_t held = heldBytes();
    if (input.size() > bound - held) return fail(WebSocketError::Violation::bufferLimit, held + input.size());

    std::vector<Event> events;
    while (true) {
        if (stage_ != Stage::payload) {
            auto whole = readHeader(input);
            if (!whole) return std::unexpected(whole.error());
            if (!*whole) return events;
        }
        if (auto error = takePayload(input)) return std::unexpected(*error);
        if (received_ < length_) return events;
        if (auto error = finishFrame(events)) return std::unexpected(*error);
    }
}

std::size_t WebSocketParser::headerLength() const {
    switch (header_[1] & kLengthBits) {
        case kLength16:
            return 4;
        case kLength64:
            return 10;
        default:
            return 2;
    }
}

std::uint64_t WebSocketParser::declaredLength() const {
    const base::ByteView extended = base::ByteView(header_).subspan(2);
    switch (headerLength()) {
        case 4:
            return base::readBigEndian<std::uint16_t>(extended);
        case 10:
            return base::readBigEndian<std::uint64_t>(extended);
        default:
            return header_[1] & kLengthBits;
    }
}

bool WebSocketParser::fill(base::ByteView& input, std::size_t upTo) {
    const std::size_t count = std::min(upTo - std::min(upTo, headerHave_), input.size());
    std::copy_n(input.begin(), count, header_.begin() + static_cast<std::ptrdiff_t>(headerHave_));
    headerHave_ += count;
    input = input.subspan(count);
    return headerHave_ >= upTo;
}

// Each check runs once, as soon as the bytes it needs are in.
std::expected<bool, WebSocketError> WebSocketParser::readHeader(base::ByteView& input) {
    if (stage_ == Stage::start) {
        if (!fill(input, 2)) return false;
        if (auto error = checkStart()) return std::unexpected(*error);
        stage_ = Stage::length;
    }
    if (stage_ == Stage::length) {
        if (!fill(input, headerLength())) return false;
        if (auto error = checkFrame()) return std::unexpected(*error);
        stage_ = Stage::mask;
    }
    if (!fill(input, headerLength() + kMaskBytes)) return false;
    beginPayload();
    return true;
}

std::optional<WebSocketError> WebSocketParser::checkStart() const {
    if (header_[0] & kReservedBits) return WebSocketError{WebSocketError::Violation::reservedBits, header_[0]};
    if (!(header_[1] & kMaskBit)) return WebSocketError{WebSocketError::Violation::unmaskedFrame, header_[1]};
    return std::nullopt;
}

std::optional<WebSocketError> WebSocketParser::checkFrame() const {
    using V = WebSocketError::Violation;
    const std::uint64_t length = declaredLength();
    // Compared unsigned, so a 64-bit length with its top bit set is simply too large.
    if (length > limit()) return WebSocketError{V::frameLimit, length};

    const std::uint8_t opcode = header_[0] & kOpcodeBits;
    if (!isKnownOpcode(opcode)) return WebSocketError{V::unknownOpcode, opcode};
    if (opcode & 0x08) {
        if (!(header_[0] & kFinBit)) return WebSocketError{V::fragmentedControl, opcode};
        if (length > kMaxControlPayloadBytes) return WebSocketError{V::oversizedControl, length};
        return std::nullopt;
    }
    if (opcode == 0) {
        if (!messageOpcode_) return WebSocketError{V::unexpectedContinuation, opcode};
        // Both terms are within limit(), so the sum cannot wrap. Checked here rather than when the
        // payload is in, so an oversized message fails before its bytes are read.
        const std::uint64_t size = messageOpcode_ == WebSocketOpcode::text ? text_.size() : binary_.size();
        if (size + length > limit()) return WebSocketError{V::messageLimit, size + length};
        return std::nullopt;
    }
    if (messageOpcode_) return WebSocketError{V::unfinishedMessage, opcode};
    return std::nullopt;
}

void WebSocketParser::beginPayload() {
    opcode_ = header_[0] & kOpcodeBits;
    fin_ = (header_[0] & kFinBit) != 0;
    length_ = declaredLength();
    std::copy_n(header_.begin() + static_cast<std::ptrdiff_t>(headerLength()), kMaskBytes, mask_.begin());
    received_ = 0;
    stage_ = Stage::payload;
    if (isControl()) {
        control_.clear();
        return;
    }
    if (opcode_ != 0) {
        messageOpcode_ = static_cast<WebSocketOpcode>(opcode_);
        text_.clear();
        binary_.clear();
        utf8_.reset();
    }
}

std::optional<WebSocketError> WebSocketParser::takePayload(base::ByteView& input) {
    const std::uint64_t left = length_ - received_;
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(left, input.size()));
    const bool isText = !isControl() && messageOpcode_ == WebSocketOpcode::text;
    std::uint8_t* out = isControl() ? extend(control_, count, left)
                        : isText    ? extend(text_, count, left)
                                    : extend(binary_, count, left);
    unmask(out, input.data(), count, mask_, received_);
    received_ += count;
    input = input.subspan(count);
    if (!isText) return std::nullopt;

    // Invalid text fails here, with the frame perhaps still arriving, rather than at the message's end.
    base::Utf8Validator before = utf8_;
    if (utf8_.feed({out, count})) return std::nullopt;
    std::size_t bad = 0;
    while (bad < count && before.feed({out + bad, 1})) ++bad;
    return WebSocketError{WebSocketError::Violation::invalidUtf8, text_.size() - count + bad};
}

std::optional<WebSocketError> WebSocketParser::finishFrame(std::vector<Event>& events) {
    stage_ = Stage::start;
    headerHave_ = 0;
    switch (static_cast<WebSocketOpcode>(opcode_)) {
        case WebSocketOpcode::close: {
            Close close;
            if (control_.size() >= 2) {
                const auto code = base::readBigEndian<std::uint16_t>(control_);
                if (!isSendableCloseCode(code))
                    return WebSocketError{WebSocketError::Violation::invalidCloseCode, code};
                const auto reason = base::asText(base::ByteView(control_).subspan(2));
                close.status = CloseStatus{code, base::encodeUtf8(base::decodeUtf8Lossy(reason))};
            }
            events.emplace_back(std::move(close));
            return std::nullopt;
        }
        case WebSocketOpcode::ping:
            events.emplace_back(Ping{std::exchange(control_, {})});
            return std::nullopt;
        case WebSocketOpcode::pong:
            events.emplace_back(Pong{std::exchange(control_, {})});
            return std::nullopt;
        default:
            return fin_ ? finishMessage(events) : std::nullopt;
    }
}

std::optional<WebSocketError> WebSocketParser::finishMessage(std::vector<Event>& events) {
    const WebSocketOpcode opcode = *std::exchange(messageOpcode_, std::nullopt);
    if (opcode == WebSocketOpcode::binary) {
        events.emplace_back(Binary{std::exchange(binary_, {})});
        return std::nullopt;
    }
    // A sequence still open at the end: the byte that should have continued it is missing.
    if (!utf8_.finish()) return WebSocketError{WebSocketError::Violation::invalidUtf8, text_.size()};
    events.emplace_back(Text{std::exchange(text_, {})});
    return std::nullopt;
}

base::Bytes WebSocketParser::frame(base::ByteView payload, WebSocketOpcode opcode) {
    constexpr std::size_t kMaxHeaderBytes = 10;
    const std::uint64_t n = payload.size();
    base::Bytes out;
    out.reserve(payload.size() + kMaxHeaderBytes);
    out.push_back(static_cast<std::uint8_t>(kFinBit | static_cast<std::uint8_t>(opcode)));
    if (n < kLength16) {
        out.push_back(static_cast<std::uint8_t>(n));
    } else if (n <= std::numeric_limits<std::uint16_t>::max()) {
        out.push_back(kLength16);
        base::appendBigEndian(out, static_cast<std::uint16_t>(n));
    } else {
        out.push_back(kLength64);
        base::appendBigEndian(out, n);
    }
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

}  // namespace orvanta::host
