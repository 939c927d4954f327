// The description of one video stream generation (codec, picture size, frame-rate cap, H.264
// parameter sets), sent as JSON in a config packet ahead of that generation's frames.
#pragma once

#include <concepts>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include "base/Bytes.h"
#include "base/Json.h"
#include "protocol/VideoPacket.h"

namespace orvanta::protocol {

// Why a config packet yields no configuration; each case carries the datum that failed.
struct StreamConfigError {
    struct notConfigPacket {
        PacketType type;
        bool operator==(const notConfigPacket&) const = default;
    };
    struct genMismatch {
        std::uint16_t header;
        std::uint16_t payload;
        bool operator==(const genMismatch&) const = default;
    };
    struct invalidBase64 {
        std::string field;  // "sps" or "pps"
        bool operator==(const invalidBase64&) const = default;
    };
    // The payload is not the JSON form: not JSON, a missing key, a value of the wrong kind.
    struct invalidJson {
        base::JsonError error;
        bool operator==(const invalidJson&) const = default;
    };
    using Case = std::variant<notConfigPacket, genMismatch, invalidBase64, invalidJson>;

    Case value;

    template <std::convertible_to<Case> C>
    StreamConfigError(C c) : value(std::move(c)) {}

    template <class C>
    const C* as() const {
        return std::get_if<C>(&value);
    }

    bool operator==(const StreamConfigError&) const = default;
};

// Building a config packet fails when the JSON cannot be written (a codec text that is not UTF-8)
// or is longer than a packet payload.
using StreamConfigPacketError = std::variant<base::JsonEncodeError, VideoPacketError>;

struct StreamConfig {
    static constexpr std::string_view codecH264 = "h264";

    std::uint16_t gen = 0;
    std::string codec{};
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t fpsCap = 0;
    base::Bytes sps{};  // one NAL unit, without start code or length prefix
    base::Bytes pps{};

    // Compact JSON with sorted keys, parameter sets as padded standard Base64.
    std::expected<base::Bytes, base::JsonEncodeError> jsonData() const;
    // A config packet of this generation, without flags, carrying jsonData().
    std::expected<VideoPacket, StreamConfigPacketError> packet(std::uint32_t seq, std::uint64_t ptsMicros) const;

    // Reads "gen", "codec", "width", "height", "fpsCap", "sps", "pps" in that order and stops at
    // the first failure. The codec text is not judged here.
    static std::expected<StreamConfig, StreamConfigError> fromJson(base::ByteView json);
    // The configuration a config packet carries, whose generation must match the header's.
    static std::expected<StreamConfig, StreamConfigError> decode(const VideoPacketView& packet);
    static std::expected<StreamConfig, StreamConfigError> decode(const VideoPacket& packet) {
        return decode(packet.view());
    }

    void writeJson(base::JsonObjectWriter& writer) const;

    bool operator==(const StreamConfig&) const = default;
};

}  // namespace orvanta::protocol
