// The host's WebSocket frame parser, which enforces the host's rules on every byte a client sends,
// and the framer for what the host sends. Pure: no I/O, no clock.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/Bytes.h"
#include "base/Utf8.h"

namespace orvanta::host {

enum class WebSocketOpcode : std::uint8_t {
    continuation = 0,
    text = 1,
    binary = 2,
    close = 8,
    ping = 9,
    pong = 10,
};

// Why the parser refused a client's bytes. `datum` is the offending value named beside each case.
struct WebSocketError {
    enum class Kind : std::uint8_t { invalid, tooLarge };
    enum class Violation : std::uint8_t {
        reservedBits,            // byte 0 of the frame
        unmaskedFrame,           // byte 1 of the frame
        unknownOpcode,           // the opcode
        fragmentedControl,       // the opcode
        oversizedControl,        // the declared payload length
        unexpectedContinuation,  // the opcode (0)
        unfinishedMessage,       // the opcode of the data frame that interrupted the message
        invalidUtf8,             // offset in the text message of the byte that cannot be valid
        invalidCloseCode,        // the close code
        bufferLimit,             // the bytes the parser would have to hold
        frameLimit,              // the declared payload length
        messageLimit,            // the message's size with the declared payload
    };

    Violation violation = Violation::reservedBits;
    std::uint64_t datum = 0;

    Kind kind() const;
    bool operator==(const WebSocketError&) const = default;
};

// Turns a client's byte stream into messages and control events, and builds the unmasked frames the
// host sends. Pure: no I/O, no clock. After an error every later append repeats it.
class WebSocketParser {
public:
    static constexpr std::int64_t kDefaultMaxMessage = 65536;
    // Room beyond `maxMessage` for bytes of one append that are not yet part of a frame's payload.
    static constexpr std::uint64_t kBufferSlackBytes = 65536;

    struct CloseStatus {
        std::uint16_t code = 0;
        std::string reason;  // invalid UTF-8 replaced by U+FFFD
        bool operator==(const CloseStatus&) const = default;
    };
    struct Text {
        std::string text;
        bool operator==(const Text&) const = default;
    };
    struct Binary {
        base::Bytes data;
        bool operator==(const Binary&) const = default;
    };
    struct Ping {
        base::Bytes data;
        bool operator==(const Ping&) const = default;
    };
    struct Pong {
        base::Bytes data;
        bool operator==(const Pong&) const = default;
    };
    struct Close {
        std::optional<CloseStatus> status;  // none when the frame carried fewer than 2 bytes
        bool operator==(const Close&) const = default;
    };
    using Event = std::variant<Text, Binary, Ping, Pong, Close>;

    explicit WebSocketParser(std::int64_t maxMessageBytes = kDefaultMaxMessage) : maxMessage(maxMessageBytes) {}

    // The largest payload of one frame and of one reassembled message. The owner raises it between
    // appends; a negative value accepts only empty payloads.
    std::int64_t maxMessage;

    // The events completed by `bytes`, in arrival order. On an error the events of this call are
    // dropped: the owner closes the connection.
    std::expected<std::vector<Event>, WebSocketError> append(base::ByteView bytes);

    // One final, unmasked frame carrying `payload`.
    static base::Bytes frame(base::ByteView payload, WebSocketOpcode opcode);

private:
    enum class Stage : std::uint8_t { start, length, mask, payload };

    std::expected<std::vector<Event>, WebSocketError> parse(base::ByteView input);
    std::expected<bool, WebSocketError> readHeader(base::ByteView& input);
    bool fill(base::ByteView& input, std::size_t upTo);
    std::optional<WebSocketError> checkStart() const;
    std::optional<WebSocketError> checkFrame() const;
    void beginPayload();
    std::optional<WebSocketError> takePayload(base::ByteView& input);
    std::optional<WebSocketError> finishFrame(std::vector<Event>& events);
    std::optional<WebSocketError> finishMessage(std::vector<Event>& events);
    std::size_t headerLength() const;
    std::uint64_t declaredLength() const;
    std::uint64_t limit() const;
    std::uint64_t heldBytes() const;
    bool isControl() const { return (opcode_ & 0x08) != 0; }

    Stage stage_ = Stage::start;
    std::array<std::uint8_t, 14> header_{};
    std::size_t headerHave_ = 0;
    // The frame being read.
    std::uint8_t opcode_ = 0;
    bool fin_ = false;
    std::uint64_t length_ = 0;
    std::uint64_t received_ = 0;
    std::array<std::uint8_t, 4> mask_{};
    // The data message being reassembled; payloads are unmasked straight into it.
    std::optional<WebSocketOpcode> messageOpcode_;
    std::string text_;
    base::Bytes binary_;
    base::Utf8Validator utf8_;
    base::Bytes control_;
    std::optional<WebSocketError> failure_;
};

}  // namespace orvanta::host
