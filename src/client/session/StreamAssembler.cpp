#include "client/session/StreamAssembler.h"

#include <algorithm>

#include "protocol/StreamConfig.h"

namespace orvanta::client {

namespace {

constexpr std::uint64_t kMinSampleSpacingTicks = MediaTime::ticksPerSecond / 120;
constexpr std::uint8_t kNalTypeSps = 7;
constexpr std::uint8_t kNalTypePps = 8;
// SPS: NAL header, profile, constraint flags and level, which the avcC record copies.
constexpr std::size_t kMinSpsBytes = 4;
constexpr std::size_t kMinPpsBytes = 2;

std::uint32_t bigEndian32(base::ByteView bytes, std::size_t at) {
    return std::uint32_t{bytes[at]} << 24 | std::uint32_t{bytes[at + 1]} << 16 | std::uint32_t{bytes[at + 2]} << 8 |
           std::uint32_t{bytes[at + 3]};
}

// The parameter set is one NAL unit of the expected type with the forbidden bit clear.
bool isParameterSet(const base::Bytes& unit, std::uint8_t type, std::size_t minBytes) {
    return unit.size() >= minBytes && unit.size() <= 0xFFFF && (unit[0] & 0x80) == 0 && (unit[0] & 0x1F) == type;
}

void appendLength16(base::Bytes& out, std::size_t length) {
    out.push_back(static_cast<std::uint8_t>(length >> 8));
    out.push_back(static_cast<std::uint8_t>(length));
}

}  // namespace

base::Bytes H264Format::avcC() const {
    base::Bytes record{1, sps[1], sps[2], sps[3], 0xFC | 3 /* 4-byte lengths */, 0xE0 | 1 /* one SPS */};
    appendLength16(record, sps.size());
    record.insert(record.end(), sps.begin(), sps.end());
    record.push_back(1);  // one PPS
    appendLength16(record, pps.size());
    record.insert(record.end(), pps.begin(), pps.end());
    return record;
}

std::expected<void, AssemblyError> validateAVCC(base::ByteView payload) {
    if (payload.empty()) return std::unexpected(AssemblyError::invalidAVCC);
    std::size_t offset = 0;
    while (offset < payload.size()) {
        if (payload.size() - offset < 4) return std::unexpected(AssemblyError::invalidAVCC);
        const std::uint32_t length = bigEndian32(payload, offset);
        offset += 4;
        if (length == 0 || length > payload.size() - offset) return std::unexpected(AssemblyError::invalidAVCC);
        offset += length;
    }
    return {};
}

StreamAssembler::StreamAssembler(base::Executor& main, const base::Clock& clock) : main_(main), clock_(clock) {}

void StreamAssembler::receive(base::Bytes message) {
    main_.async([weak = weak_from_this(), message = std::move(message)] {
        if (auto self = weak.lock()) self->process(message);
    });
}

void StreamAssembler::flush() {
    main_.async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->reset();
    });
}

bool StreamAssembler::notifyRendererFailed() { return filter_.didFailDecoding(); }

void StreamAssembler::process(base::ByteView message) {
    const auto packet = protocol::VideoPacketView::parse(message);
    if (!packet) return assemblyFailed();
    switch (packet->header.type) {
        case protocol::PacketType::audio:
            return;
        case protocol::PacketType::config:
            if (configure(*packet)) {
                consecutiveFailures_ = 0;
            } else {
                assemblyFailed();
            }
            return;
        case protocol::PacketType::video:
            break;
    }
    switch (filter_.decide(packet->header)) {
        case protocol::FrameDecision::drop:
            return;
        case protocol::FrameDecision::flushDropAndRequestKeyframe:
            call(onNeedFlush);
            call(onNeedKeyframe);
            return;
        case protocol::FrameDecision::flushAndDeliver:
            call(onNeedFlush);
            return deliver(*packet);
        case protocol::FrameDecision::deliver:
            return deliver(*packet);
    }
}

void StreamAssembler::deliver(const protocol::VideoPacketView& packet) {
    auto sample = makeSample(packet);
    if (!sample) return assemblyFailed();
    consecutiveFailures_ = 0;
    const std::uint64_t now = clock_.uptimeMicros();
    if (onFrame)
        onFrame(std::make_shared<const VideoSample>(std::move(*sample)),
                protocol::Ack{packet.header.gen, packet.header.seq, now});
}

// The old format and gate go before the packet is looked at: a rejected configuration leaves
// nothing to decode until a good one arrives.
std::expected<void, AssemblyError> StreamAssembler::configure(const protocol::VideoPacketView& packet) {
    format_.reset();
    filter_ = protocol::FrameDiscardFilter{};
    call(onNeedFlush);
    const auto config = protocol::StreamConfig::decode(packet);
    if (!config) return std::unexpected(AssemblyError::invalidPacket);
    const bool valid = config->codec == protocol::StreamConfig::codecH264 && config->width >= 1 &&
                       config->width <= kMaxDimension && config->height >= 1 && config->height <= kMaxDimension &&
                       isParameterSet(config->sps, kNalTypeSps, kMinSpsBytes) &&
                       isParameterSet(config->pps, kNalTypePps, kMinPpsBytes);
    if (!valid) return std::unexpected(AssemblyError::invalidConfiguration);
    const int width = static_cast<int>(config->width), height = static_cast<int>(config->height);
    format_ = std::make_shared<const H264Format>(H264Format{width, height, config->sps, config->pps});
    filter_.didReceiveConfig(config->gen);
    if (onConfig) onConfig(width, height);
    return {};
}

std::expected<VideoSample, AssemblyError> StreamAssembler::makeSample(const protocol::VideoPacketView& packet) {
    if (!format_) return std::unexpected(AssemblyError::missingFormat);
    if (auto valid = validateAVCC(packet.payload); !valid) return std::unexpected(valid.error());
    const auto& header = packet.header;
    return VideoSample{format_,
                       base::Bytes(packet.payload.begin(), packet.payload.end()),
                       nextPresentationTime(),
                       true,
                       header.ptsMicros,
                       header.gen,
                       header.seq,
                       header.flags.contains(protocol::PacketFlags::keyframe)};
}

void StreamAssembler::assemblyFailed() {
    consecutiveFailures_ = std::min(consecutiveFailures_ + 1, kFailuresBeforeRecovery);
    if (consecutiveFailures_ < kFailuresBeforeRecovery) return;
    consecutiveFailures_ = 0;
    const bool wasAwaiting = filter_.awaitingKeyframe();
    filter_.didFailDecoding();
    call(onNeedFlush);
    call(onDecodeError);
    if (!wasAwaiting) call(onNeedKeyframe);
}

// Samples follow the arrival clock, at least 1/120 s apart, from zero after each reset, so the
// display shows each frame as it comes instead of pacing by the host's clock.
MediaTime StreamAssembler::nextPresentationTime() {
    const std::uint64_t now = clock_.uptimeMicros() * 1000;
    if (!originNanoseconds_) originNanoseconds_ = now;
    const MediaTime candidate{(now - *originNanoseconds_) * 3};
    MediaTime result{};
    if (lastPresentationTime_)
        result = std::max(candidate, MediaTime{lastPresentationTime_->ticks + kMinSampleSpacingTicks});
    lastPresentationTime_ = result;
    return result;
}

void StreamAssembler::reset() {
    filter_ = protocol::FrameDiscardFilter{};
    format_.reset();
    consecutiveFailures_ = 0;
    originNanoseconds_.reset();
    lastPresentationTime_.reset();
    call(onNeedFlush);
}

}  // namespace orvanta::client
