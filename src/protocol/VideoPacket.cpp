#include "protocol/VideoPacket.h"

#include <algorithm>
#include <limits>

namespace orvanta::protocol {

namespace {

constexpr std::size_t kVersionOffset = 0;
constexpr std::size_t kTypeOffset = 1;
constexpr std::size_t kFlagsOffset = 2;
constexpr std::size_t kGenOffset = 4;
constexpr std::size_t kSeqOffset = 8;
constexpr std::size_t kPtsOffset = 12;
constexpr std::size_t kLengthOffset = 20;

}  // namespace

std::optional<PacketType> packetTypeFromRaw(std::uint8_t raw) {
    switch (static_cast<PacketType>(raw)) {
        case PacketType::video:
        case PacketType::audio:
        case PacketType::config:
            return static_cast<PacketType>(raw);
    }
    return std::nullopt;
}

std::array<std::uint8_t, VideoPacketHeader::size> VideoPacketHeader::encoded() const {
    std::array<std::uint8_t, size> out{};
    out[kVersionOffset] = version;
    out[kTypeOffset] = rawValue(type);
    out[kFlagsOffset] = flags.rawValue;
    const std::span<std::uint8_t> bytes(out);
    base::writeBigEndian(bytes.subspan(kGenOffset), gen);
    base::writeBigEndian(bytes.subspan(kSeqOffset), seq);
    base::writeBigEndian(bytes.subspan(kPtsOffset), ptsMicros);
    base::writeBigEndian(bytes.subspan(kLengthOffset), length);
    return out;
}

std::expected<VideoPacketHeader, VideoPacketError> VideoPacketHeader::parse(base::ByteView bytes) {
    if (bytes.size() < size) return std::unexpected(VideoPacketError::truncatedHeader{bytes.size()});
    const std::uint8_t version = bytes[kVersionOffset];
    if (version != currentVersion) return std::unexpected(VideoPacketError::unsupportedVersion{version});
    const auto type = packetTypeFromRaw(bytes[kTypeOffset]);
    if (!type) return std::unexpected(VideoPacketError::unknownType{bytes[kTypeOffset]});
    const auto length = base::readBigEndian<std::uint32_t>(bytes.subspan(kLengthOffset));
    if (length > VideoPacket::maxPayloadLength) return std::unexpected(VideoPacketError::payloadTooLarge{length});
    return VideoPacketHeader{
        .version = version,
        .type = *type,
        .flags = PacketFlags(bytes[kFlagsOffset]),
        .gen = base::readBigEndian<std::uint16_t>(bytes.subspan(kGenOffset)),
        .seq = base::readBigEndian<std::uint32_t>(bytes.subspan(kSeqOffset)),
        .ptsMicros = base::readBigEndian<std::uint64_t>(bytes.subspan(kPtsOffset)),
        .length = length,
    };
}

std::expected<VideoPacketView, VideoPacketError> VideoPacketView::parse(base::ByteView message) {
    auto header = VideoPacketHeader::parse(message);
    if (!header) return std::unexpected(header.error());
    const std::size_t actual = message.size() - VideoPacketHeader::size;
    if (actual != header->length) return std::unexpected(VideoPacketError::lengthMismatch{header->length, actual});
    return VideoPacketView{*header, message.subspan(VideoPacketHeader::size)};
}

std::expected<VideoPacket, VideoPacketError> VideoPacket::make(PacketType type, PacketFlags flags, std::uint16_t gen,
                                                               std::uint32_t seq, std::uint64_t ptsMicros,
                                                               base::Bytes payload) {
    if (payload.size() > maxPayloadLength) {
        const auto clamped = std::min<std::size_t>(payload.size(), std::numeric_limits<std::uint32_t>::max());
        return std::unexpected(VideoPacketError::payloadTooLarge{static_cast<std::uint32_t>(clamped)});
    }
    VideoPacketHeader header{.type = type,
                             .flags = flags,
                             .gen = gen,
                             .seq = seq,
                             .ptsMicros = ptsMicros,
                             .length = static_cast<std::uint32_t>(payload.size())};
    return VideoPacket(header, std::move(payload), 0);
}

std::expected<VideoPacket, VideoPacketError> VideoPacket::parse(base::ByteView message) {
    auto view = VideoPacketView::parse(message);
    if (!view) return std::unexpected(view.error());
    return VideoPacket(view->header, base::Bytes(view->payload.begin(), view->payload.end()), 0);
}

std::expected<VideoPacket, VideoPacketError> VideoPacket::parse(base::Bytes&& message) {
    auto view = VideoPacketView::parse(message);
    if (!view) return std::unexpected(view.error());
    return VideoPacket(view->header, std::move(message), VideoPacketHeader::size);
}

base::Bytes VideoPacket::encoded() const {
    const auto header = header_.encoded();
    const auto body = payload();
    base::Bytes out;
    out.reserve(header.size() + body.size());
    // assign rather than insert: g++ 12 misreads insert into a reserved empty vector as overflowing.
    out.assign(header.begin(), header.end());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

bool VideoPacket::operator==(const VideoPacket& other) const {
    return header_ == other.header_ && std::ranges::equal(payload(), other.payload());
}

void FrameDiscardFilter::didReceiveConfig(std::uint16_t gen) {
    currentGen_ = gen;
    awaitingKeyframe_ = true;
}

FrameDecision FrameDiscardFilter::decide(const VideoPacketHeader& header) {
    if (header.type != PacketType::video || currentGen_ != header.gen) return FrameDecision::drop;
    const bool keyframe = header.flags.contains(PacketFlags::keyframe);
    if (header.flags.contains(PacketFlags::discontinuity)) {
        if (keyframe) {
            awaitingKeyframe_ = false;
            return FrameDecision::flushAndDeliver;
        }
        if (awaitingKeyframe_) return FrameDecision::drop;
        awaitingKeyframe_ = true;
        return FrameDecision::flushDropAndRequestKeyframe;
    }
    if (!awaitingKeyframe_) return FrameDecision::deliver;
    if (!keyframe) return FrameDecision::drop;
    awaitingKeyframe_ = false;
    return FrameDecision::deliver;
}

bool FrameDiscardFilter::didFailDecoding() {
    const bool wasFlowing = !awaitingKeyframe_;
    awaitingKeyframe_ = true;
    return wasFlowing;
}

}  // namespace orvanta::protocol
