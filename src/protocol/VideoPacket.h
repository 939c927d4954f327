// The media channel's packet: a 24-byte big-endian header and a payload, carrying video access
// units, raw AAC packets and stream configurations. Also the client's video gate, which decides
// per received header whether a frame may reach the decoder.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <initializer_list>
#include <optional>
#include <variant>

#include "base/Bytes.h"

namespace orvanta::protocol {

enum class PacketType : std::uint8_t {
    video = 1,
    audio = 2,
    config = 0x10,
};

constexpr std::uint8_t rawValue(PacketType type) { return static_cast<std::uint8_t>(type); }
// Nothing for a byte that names no packet type.
std::optional<PacketType> packetTypeFromRaw(std::uint8_t raw);

// Header flag bits. Bits without a name are carried through parsing and encoding unchanged.
struct PacketFlags {
    static const PacketFlags keyframe;       // decodable without any earlier payload
    static const PacketFlags discontinuity;  // the stream restarts here

    std::uint8_t rawValue = 0;

    constexpr PacketFlags() = default;
    constexpr explicit PacketFlags(std::uint8_t raw) : rawValue(raw) {}
    constexpr PacketFlags(std::initializer_list<PacketFlags> flags) {
        for (PacketFlags f : flags) rawValue |= f.rawValue;
    }

    constexpr bool empty() const { return rawValue == 0; }
    constexpr bool contains(PacketFlags other) const { return (rawValue & other.rawValue) == other.rawValue; }
    constexpr bool isSubset(PacketFlags of) const { return of.contains(*this); }
    constexpr bool isDisjoint(PacketFlags with) const { return (rawValue & with.rawValue) == 0; }

    constexpr PacketFlags operator|(PacketFlags o) const { return PacketFlags(rawValue | o.rawValue); }
    constexpr PacketFlags operator&(PacketFlags o) const { return PacketFlags(rawValue & o.rawValue); }
    constexpr PacketFlags operator^(PacketFlags o) const { return PacketFlags(rawValue ^ o.rawValue); }
    constexpr PacketFlags operator-(PacketFlags o) const { return PacketFlags(rawValue & ~o.rawValue); }
    constexpr PacketFlags& operator|=(PacketFlags o) { return *this = *this | o; }
    constexpr PacketFlags& operator&=(PacketFlags o) { return *this = *this & o; }
    constexpr PacketFlags& operator^=(PacketFlags o) { return *this = *this ^ o; }
    constexpr PacketFlags& operator-=(PacketFlags o) { return *this = *this - o; }
    constexpr void insert(PacketFlags flags) { *this |= flags; }
    constexpr void remove(PacketFlags flags) { *this -= flags; }

    bool operator==(const PacketFlags&) const = default;
};

inline constexpr PacketFlags PacketFlags::keyframe(std::uint8_t{0x01});
inline constexpr PacketFlags PacketFlags::discontinuity(std::uint8_t{0x02});

// Why bytes are not a media packet; each case carries the datum that failed.
struct VideoPacketError {
    struct truncatedHeader {
        std::size_t count;  // bytes available, fewer than a header
        bool operator==(const truncatedHeader&) const = default;
    };
    struct unsupportedVersion {
        std::uint8_t version;
        bool operator==(const unsupportedVersion&) const = default;
    };
    struct unknownType {
        std::uint8_t type;
        bool operator==(const unknownType&) const = default;
    };
    struct payloadTooLarge {
        std::uint32_t length;  // declared when parsing; the payload size, clamped, when building
        bool operator==(const payloadTooLarge&) const = default;
    };
    struct lengthMismatch {
        std::uint32_t declared;
        std::size_t actual;  // bytes after the header
        bool operator==(const lengthMismatch&) const = default;
    };
    using Case = std::variant<truncatedHeader, unsupportedVersion, unknownType, payloadTooLarge, lengthMismatch>;

    Case value;

    template <std::convertible_to<Case> C>
    VideoPacketError(C c) : value(std::move(c)) {}

    template <class C>
    const C* as() const {
        return std::get_if<C>(&value);
    }

    bool operator==(const VideoPacketError&) const = default;
};

struct VideoPacketHeader {
    static constexpr std::size_t size = 24;
    static constexpr std::uint8_t currentVersion = 1;

    std::uint8_t version = currentVersion;
    PacketType type = PacketType::video;
    PacketFlags flags{};
    std::uint16_t gen = 0;
    std::uint32_t seq = 0;
    std::uint64_t ptsMicros = 0;
    std::uint32_t length = 0;  // payload bytes

    // Reserved bytes are written as zero.
    std::array<std::uint8_t, size> encoded() const;

    // Reads the first 24 bytes; anything after them is not looked at. Checks version, then type,
    // then length; reserved bytes are ignored.
    static std::expected<VideoPacketHeader, VideoPacketError> parse(base::ByteView bytes);

    bool operator==(const VideoPacketHeader&) const = default;
};

// A packet whose payload lives in the caller's buffer.
struct VideoPacketView {
    VideoPacketHeader header;
    base::ByteView payload;

    // One whole binary message: exactly one header and `length` payload bytes. Copies nothing.
    static std::expected<VideoPacketView, VideoPacketError> parse(base::ByteView message);
};

// A packet that owns its payload, whose size always equals `header().length`.
class VideoPacket {
public:
    static constexpr std::uint32_t maxPayloadLength = 4'194'304;
    static constexpr std::size_t maxMessageLength = VideoPacketHeader::size + maxPayloadLength;

    // An empty video packet.
    VideoPacket() = default;

    // Version 1 and `length` = payload size; payloadTooLarge for more than maxPayloadLength bytes.
    static std::expected<VideoPacket, VideoPacketError> make(PacketType type, PacketFlags flags, std::uint16_t gen,
                                                             std::uint32_t seq, std::uint64_t ptsMicros,
                                                             base::Bytes payload);

    // Copies the payload out of `message`, once.
    static std::expected<VideoPacket, VideoPacketError> parse(base::ByteView message);
    // Keeps `message` as the payload's storage: no copy. On failure `message` is left untouched.
    static std::expected<VideoPacket, VideoPacketError> parse(base::Bytes&& message);

    const VideoPacketHeader& header() const { return header_; }
    base::ByteView payload() const { return base::ByteView(storage_).subspan(payloadOffset_); }
    VideoPacketView view() const { return {header_, payload()}; }

    // Header then payload, in one allocation.
    base::Bytes encoded() const;

    bool operator==(const VideoPacket& other) const;

private:
    VideoPacket(VideoPacketHeader header, base::Bytes storage, std::size_t payloadOffset)
        : header_(header), storage_(std::move(storage)), payloadOffset_(payloadOffset) {}

    VideoPacketHeader header_;
    base::Bytes storage_;
    std::size_t payloadOffset_ = 0;
};

enum class FrameDecision {
    deliver,
    flushAndDeliver,  // discard what is held, then decode this frame
    drop,
    flushDropAndRequestKeyframe,  // discard what is held and this frame, and ask the host for a key frame
};

// The client's video gate, one per media connection. Passes only video of the generation of the
// last accepted stream configuration, and after a configuration, a discontinuity or a decoding
// failure only from the next key frame on. Sequence numbers are not its concern.
class FrameDiscardFilter {
public:
    std::optional<std::uint16_t> currentGen() const { return currentGen_; }
    bool awaitingKeyframe() const { return awaitingKeyframe_; }

    void didReceiveConfig(std::uint16_t gen);
    FrameDecision decide(const VideoPacketHeader& header);
    // True only for the first failure since frames last flowed: the caller asks for one key frame.
    bool didFailDecoding();

private:
    std::optional<std::uint16_t> currentGen_;
    bool awaitingKeyframe_ = true;
};

}  // namespace orvanta::protocol

template <>
struct std::hash<orvanta::protocol::PacketFlags> {
    std::size_t operator()(orvanta::protocol::PacketFlags flags) const noexcept {
        return std::hash<std::uint8_t>{}(flags.rawValue);
    }
};
