#include "protocol/StreamConfig.h"

#include "base/Base64.h"

namespace orvanta::protocol {

namespace {

// Parameter sets are read as text first so that bad Base64 is reported by field name, as its
// own error, rather than as a JSON error.
std::expected<base::Bytes, StreamConfigError> readParameterSet(base::JsonObjectReader& reader, std::string_view key) {
    auto text = reader.required<std::string>(key);
    if (reader.failed()) return std::unexpected(StreamConfigError::invalidJson{*reader.error()});
    auto bytes = base::base64Decode(text);
    if (!bytes) return std::unexpected(StreamConfigError::invalidBase64{std::string(key)});
    return std::move(*bytes);
}

}  // namespace

std::expected<base::Bytes, base::JsonEncodeError> StreamConfig::jsonData() const {
    base::JsonObjectWriter writer;
    writeJson(writer);
    auto text = base::writeJsonText(writer.take());
    if (!text) return std::unexpected(text.error());
    auto bytes = base::asBytes(*text);
    return base::Bytes(bytes.begin(), bytes.end());
}

std::expected<VideoPacket, StreamConfigPacketError> StreamConfig::packet(std::uint32_t seq,
                                                                         std::uint64_t ptsMicros) const {
    auto json = jsonData();
    if (!json) return std::unexpected(json.error());
    auto packet = VideoPacket::make(PacketType::config, {}, gen, seq, ptsMicros, std::move(*json));
    if (!packet) return std::unexpected(packet.error());
    return std::move(*packet);
}

std::expected<StreamConfig, StreamConfigError> StreamConfig::fromJson(base::ByteView json) {
    auto object = base::parseJsonObject(base::asText(json));
    if (!object) return std::unexpected(StreamConfigError::invalidJson{object.error()});
    base::JsonObjectReader reader(*object);
    StreamConfig config;
    config.gen = reader.required<std::uint16_t>("gen");
    config.codec = reader.required<std::string>("codec");
    config.width = reader.required<std::int64_t>("width");
    config.height = reader.required<std::int64_t>("height");
    config.fpsCap = reader.required<std::int64_t>("fpsCap");
    auto sps = readParameterSet(reader, "sps");
    if (!sps) return std::unexpected(sps.error());
    auto pps = readParameterSet(reader, "pps");
    if (!pps) return std::unexpected(pps.error());
    config.sps = std::move(*sps);
    config.pps = std::move(*pps);
    return config;
}

std::expected<StreamConfig, StreamConfigError> StreamConfig::decode(const VideoPacketView& packet) {
    if (packet.header.type != PacketType::config) {
        return std::unexpected(StreamConfigError::notConfigPacket{packet.header.type});
    }
    auto config = fromJson(packet.payload);
    if (!config) return config;
    if (config->gen != packet.header.gen) {
        return std::unexpected(StreamConfigError::genMismatch{packet.header.gen, config->gen});
    }
    return config;
}

void StreamConfig::writeJson(base::JsonObjectWriter& writer) const {
    writer.required("gen", gen);
    writer.required("codec", codec);
    writer.required("width", width);
    writer.required("height", height);
    writer.required("fpsCap", fpsCap);
    writer.required("sps", sps);
    writer.required("pps", pps);
}

}  // namespace orvanta::protocol
