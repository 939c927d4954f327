#include <gtest/gtest.h>

#include <ostream>

#include "protocol/VideoPacket.h"

namespace orvanta::protocol {

static void PrintTo(const VideoPacketError& error, std::ostream* os) {
    std::visit(
        [os](const auto& e) {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, VideoPacketError::truncatedHeader>) *os << "truncatedHeader " << e.count;
            if constexpr (std::is_same_v<E, VideoPacketError::unsupportedVersion>)
                *os << "unsupportedVersion " << +e.version;
            if constexpr (std::is_same_v<E, VideoPacketError::unknownType>) *os << "unknownType " << +e.type;
            if constexpr (std::is_same_v<E, VideoPacketError::payloadTooLarge>) *os << "payloadTooLarge " << e.length;
            if constexpr (std::is_same_v<E, VideoPacketError::lengthMismatch>) {
                *os << "lengthMismatch " << e.declared << " " << e.actual;
            }
        },
        error.value);
}

namespace {

using base::Bytes;
using Error = VideoPacketError;

// A header as bytes: version, type, flags, reserved, gen, reserved, seq, pts, length.
Bytes rawHeader(std::uint8_t version, std::uint8_t type, std::uint32_t length, std::uint8_t flags = 0) {
    Bytes out = {version, type, flags, 0, 0x12, 0x34, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4, 5, 6, 7, 8};
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(length >> shift));
    return out;
}

Bytes withPayload(Bytes header, std::size_t payloadSize) {
    header.resize(header.size() + payloadSize, 0xA5);
    return header;
}

Bytes truncated(Bytes bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

VideoPacket makePacket(PacketType type, PacketFlags flags, Bytes payload) {
    auto packet = VideoPacket::make(type, flags, 7, 42, 1'000'000, std::move(payload));
    EXPECT_TRUE(packet);
    return std::move(*packet);
}

TEST(VideoPacketHeader, ChecksLengthThenVersionThenTypeThenPayloadLength) {
    struct Case {
        const char* what;
        Bytes bytes;
        Error error;
    };
    const Case cases[] = {
        {"empty", {}, Error::truncatedHeader{0}},
        {"23 bytes", truncated(rawHeader(1, 1, 0), 23), Error::truncatedHeader{23}},
        {"version before type and length", rawHeader(2, 3, 0xFFFFFFFF), Error::unsupportedVersion{2}},
        {"version 0", rawHeader(0, 1, 0), Error::unsupportedVersion{0}},
        {"type before length", rawHeader(1, 3, 0xFFFFFFFF), Error::unknownType{3}},
        {"type 0", rawHeader(1, 0, 0), Error::unknownType{0}},
        {"type 0x11", rawHeader(1, 0x11, 0), Error::unknownType{0x11}},
        {"one over the limit", rawHeader(1, 1, 4'194'305), Error::payloadTooLarge{4'194'305}},
        {"largest length", rawHeader(1, 2, 0xFFFFFFFF), Error::payloadTooLarge{0xFFFFFFFF}},
    };
    for (const auto& c : cases) {
        auto header = VideoPacketHeader::parse(c.bytes);
        ASSERT_FALSE(header) << c.what;
        EXPECT_EQ(header.error(), c.error) << c.what;
        // A whole-message parse reports the header's error unchanged, in every form.
        EXPECT_EQ(VideoPacketView::parse(c.bytes).error(), c.error) << c.what;
        EXPECT_EQ(VideoPacket::parse(base::ByteView(c.bytes)).error(), c.error) << c.what;
        EXPECT_EQ(VideoPacket::parse(Bytes(c.bytes)).error(), c.error) << c.what;
    }
}

TEST(VideoPacketHeader, ReadsBigEndianFieldsAndIgnoresReservedAndTrailingBytes) {
    Bytes bytes = rawHeader(1, 0x10, 4'194'304, 0xFF);
    bytes[3] = 0x7F;
    bytes[6] = 0x80;
    bytes[7] = 0xFF;
    bytes.push_back(0x99);  // beyond the header: not looked at
    auto header = VideoPacketHeader::parse(bytes);
    ASSERT_TRUE(header);
    EXPECT_EQ(*header, (VideoPacketHeader{.version = 1,
                                          .type = PacketType::config,
                                          .flags = PacketFlags(std::uint8_t{0xFF}),
                                          .gen = 0x1234,
                                          .seq = 0xDEADBEEF,
                                          .ptsMicros = 0x0102030405060708,
                                          .length = 4'194'304}));

    // Encoding writes the reserved bytes as zero and carries unnamed flag bits.
    Bytes expected = rawHeader(1, 0x10, 4'194'304, 0xFF);
    auto encoded = header->encoded();
    EXPECT_EQ(Bytes(encoded.begin(), encoded.end()), expected);
}

TEST(VideoPacketHeader, RoundTripsThroughItsEncoding) {
    const VideoPacketHeader headers[] = {
        {},
        {.type = PacketType::audio,
         .flags = PacketFlags::discontinuity,
         .gen = 65535,
         .seq = 0xFFFFFFFF,
         .ptsMicros = UINT64_MAX,
         .length = VideoPacket::maxPayloadLength},
        {.type = PacketType::config,
         .flags = PacketFlags(std::uint8_t{0x80}),
         .gen = 1,
         .seq = 2,
         .ptsMicros = 3,
         .length = 4},
    };
    for (const auto& header : headers) {
        auto encoded = header.encoded();
        EXPECT_EQ(VideoPacketHeader::parse(encoded), header) << +rawValue(header.type);
    }
}

TEST(VideoPacket, RejectsPayloadLengthThatDiffersFromTheMessage) {
    struct Case {
        std::uint32_t declared;
        std::size_t present;
    };
    for (const Case c : {Case{10, 9}, Case{10, 11}, Case{0, 1}, Case{1, 0}}) {
        const Bytes message = withPayload(rawHeader(1, 1, c.declared), c.present);
        const Error expected = Error::lengthMismatch{c.declared, c.present};
        EXPECT_EQ(VideoPacketView::parse(message).error(), expected) << c.declared << "/" << c.present;
        EXPECT_EQ(VideoPacket::parse(base::ByteView(message)).error(), expected);
        EXPECT_EQ(VideoPacket::parse(Bytes(message)).error(), expected);
    }
}

TEST(VideoPacket, AcceptsPayloadsFromEmptyToTheLimitAndRefusesOneMore) {
    for (std::uint32_t length : {0u, 1u, VideoPacket::maxPayloadLength}) {
        Bytes message = withPayload(rawHeader(1, 1, length), length);
        auto packet = VideoPacket::parse(base::ByteView(message));
        ASSERT_TRUE(packet) << length;
        EXPECT_EQ(packet->header().length, length);
        EXPECT_EQ(packet->payload().size(), length);
    }
    EXPECT_EQ(VideoPacket::maxMessageLength, 4'194'328u);

    // Too large even when the bytes are all there.
    const Bytes oversized = withPayload(rawHeader(1, 1, 4'194'305), 4'194'305);
    EXPECT_EQ(VideoPacket::parse(base::ByteView(oversized)).error(), Error::payloadTooLarge{4'194'305});
    EXPECT_EQ(VideoPacket::make(PacketType::video, {}, 0, 0, 0, Bytes(4'194'305)).error(),
              Error::payloadTooLarge{4'194'305});
}

TEST(VideoPacket, EncodesHeaderThenPayloadAndParsesBackEqual) {
    const VideoPacket packets[] = {
        makePacket(PacketType::video, {PacketFlags::keyframe, PacketFlags::discontinuity}, {0, 0, 0, 1, 0x65}),
        makePacket(PacketType::audio, {}, {0x21, 0x10}),
        makePacket(PacketType::config, {}, {}),
    };
    for (const auto& packet : packets) {
        const Bytes message = packet.encoded();
        ASSERT_EQ(message.size(), VideoPacketHeader::size + packet.payload().size());
        const auto header = packet.header().encoded();
        EXPECT_TRUE(std::equal(header.begin(), header.end(), message.begin()));
        EXPECT_TRUE(std::equal(packet.payload().begin(), packet.payload().end(), message.begin() + 24));

        EXPECT_EQ(VideoPacket::parse(base::ByteView(message)), packet);
        EXPECT_EQ(VideoPacket::parse(Bytes(message)), packet);
        auto view = VideoPacketView::parse(message);
        ASSERT_TRUE(view);
        EXPECT_EQ(view->header, packet.header());
    }
    const auto& first = packets[0].header();
    EXPECT_EQ(first.version, 1);
    EXPECT_EQ(first.length, 5u);
    EXPECT_EQ(first.flags.rawValue, 0x03);
}

TEST(VideoPacket, ParsesWithoutCopyingThePayload) {
    Bytes message = withPayload(rawHeader(1, 1, 100), 100);
    const std::uint8_t* storage = message.data();

    auto view = VideoPacketView::parse(message);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->payload.data(), storage + 24);

    auto owned = VideoPacket::parse(std::move(message));
    ASSERT_TRUE(owned);
    EXPECT_EQ(owned->payload().data(), storage + 24);
    EXPECT_EQ(owned->payload().size(), 100u);
    EXPECT_EQ(owned->encoded(), withPayload(rawHeader(1, 1, 100), 100));

    // A refused message stays with the caller.
    Bytes refused = withPayload(rawHeader(1, 1, 100), 99);
    EXPECT_FALSE(VideoPacket::parse(std::move(refused)));
    EXPECT_EQ(refused.size(), 123u);
}

TEST(PacketType, ExistsOnlyForItsThreeBytes) {
    for (int raw = 0; raw < 256; ++raw) {
        auto type = packetTypeFromRaw(static_cast<std::uint8_t>(raw));
        if (raw == 1 || raw == 2 || raw == 0x10) {
            ASSERT_TRUE(type) << raw;
            EXPECT_EQ(rawValue(*type), raw);
        } else {
            EXPECT_FALSE(type) << raw;
        }
    }
}

TEST(PacketFlags, BehavesAsASetOfBits) {
    const PacketFlags both{PacketFlags::keyframe, PacketFlags::discontinuity};
    EXPECT_EQ(both.rawValue, 0x03);
    EXPECT_TRUE(PacketFlags{}.empty());
    EXPECT_TRUE(both.contains(PacketFlags::keyframe));
    EXPECT_FALSE(PacketFlags::keyframe.contains(both));
    EXPECT_TRUE(PacketFlags::keyframe.isSubset(both));
    EXPECT_TRUE(PacketFlags::keyframe.isDisjoint(PacketFlags::discontinuity));
    EXPECT_EQ(both - PacketFlags::keyframe, PacketFlags::discontinuity);
    EXPECT_EQ(both ^ PacketFlags(std::uint8_t{0x81}), PacketFlags(std::uint8_t{0x82}));
    EXPECT_EQ(both & PacketFlags(std::uint8_t{0xF1}), PacketFlags::keyframe);

    PacketFlags flags;
    flags.insert(PacketFlags::discontinuity);
    flags |= PacketFlags(std::uint8_t{0x40});
    flags.remove(PacketFlags::keyframe);  // absent: no change
    EXPECT_EQ(flags.rawValue, 0x42);
    flags.remove(PacketFlags::discontinuity);
    EXPECT_EQ(flags.rawValue, 0x40);
}

// One step of a gate scenario: what arrives and what the gate says.
struct GateStep {
    const char* what;
    enum { config, packet, failDecoding } action;
    VideoPacketHeader header;
    FrameDecision decision;  // for packets
    bool failureReported;    // for decoding failures
    bool awaitingAfter;
};

VideoPacketHeader video(std::uint16_t gen, PacketFlags flags = {}) {
    return {.type = PacketType::video, .flags = flags, .gen = gen};
}

constexpr PacketFlags kKey = PacketFlags::keyframe;
constexpr PacketFlags kBreak = PacketFlags::discontinuity;

void runGate(std::initializer_list<GateStep> steps) {
    FrameDiscardFilter gate;
    for (const auto& step : steps) {
        switch (step.action) {
            case GateStep::config:
                gate.didReceiveConfig(step.header.gen);
                break;
            case GateStep::packet:
                EXPECT_EQ(gate.decide(step.header), step.decision) << step.what;
                break;
            case GateStep::failDecoding:
                EXPECT_EQ(gate.didFailDecoding(), step.failureReported) << step.what;
                break;
        }
        EXPECT_EQ(gate.awaitingKeyframe(), step.awaitingAfter) << step.what;
    }
}

using D = FrameDecision;

TEST(FrameDiscardFilter, DropsEverythingBeforeTheFirstConfiguration) {
    FrameDiscardFilter gate;
    EXPECT_EQ(gate.currentGen(), std::nullopt);
    runGate({
        {"key frame", GateStep::packet, video(0, kKey), D::drop, false, true},
        {"discontinuity key frame", GateStep::packet, video(0, {kKey, kBreak}), D::drop, false, true},
        {"discontinuity", GateStep::packet, video(0, kBreak), D::drop, false, true},
        {"no decoding yet", GateStep::failDecoding, {}, D::drop, false, true},
    });
}

TEST(FrameDiscardFilter, PassesTheCurrentGenerationFromItsFirstKeyFrame) {
    runGate({
        {"config 5", GateStep::config, video(5), {}, false, true},
        {"non-key before key", GateStep::packet, video(5), D::drop, false, true},
        {"generation 4 key", GateStep::packet, video(4, kKey), D::drop, false, true},
        {"audio", GateStep::packet, {.type = PacketType::audio, .flags = kKey, .gen = 5}, D::drop, false, true},
        {"config packet",
         GateStep::packet,
         {.type = PacketType::config, .flags = kKey, .gen = 5},
         D::drop,
         false,
         true},
        {"key frame", GateStep::packet, video(5, kKey), D::deliver, false, false},
        {"non-key", GateStep::packet, video(5), D::deliver, false, false},
        {"key while flowing", GateStep::packet, video(5, kKey), D::deliver, false, false},
        {"generation 4 while flowing", GateStep::packet, video(4), D::drop, false, false},
        {"generation 6 key", GateStep::packet, video(6, kKey), D::drop, false, false},
        {"config 6", GateStep::config, video(6), {}, false, true},
        {"old generation after config", GateStep::packet, video(5, kKey), D::drop, false, true},
        {"new generation key", GateStep::packet, video(6, kKey), D::deliver, false, false},
    });
}

TEST(FrameDiscardFilter, RecoversFromDiscontinuitiesAtTheNextKeyFrame) {
    runGate({
        {"config", GateStep::config, video(1), {}, false, true},
        {"discontinuity key while awaiting", GateStep::packet, video(1, {kKey, kBreak}), D::flushAndDeliver, false,
         false},
        {"discontinuity key while flowing", GateStep::packet, video(1, {kKey, kBreak}), D::flushAndDeliver, false,
         false},
        {"discontinuity", GateStep::packet, video(1, kBreak), D::flushDropAndRequestKeyframe, false, true},
        {"second discontinuity", GateStep::packet, video(1, kBreak), D::drop, false, true},
        {"non-key", GateStep::packet, video(1), D::drop, false, true},
        {"key", GateStep::packet, video(1, kKey), D::deliver, false, false},
        {"non-key flows", GateStep::packet, video(1), D::deliver, false, false},
    });
}

TEST(FrameDiscardFilter, ReportsOnlyTheFirstDecodingFailureUntilAKeyFramePasses) {
    runGate({
        {"config", GateStep::config, video(2), {}, false, true},
        {"failure before any frame", GateStep::failDecoding, {}, D::drop, false, true},
        {"key", GateStep::packet, video(2, kKey), D::deliver, false, false},
        {"first failure", GateStep::failDecoding, {}, D::drop, true, true},
        {"second failure", GateStep::failDecoding, {}, D::drop, false, true},
        {"non-key", GateStep::packet, video(2), D::drop, false, true},
        {"key", GateStep::packet, video(2, kKey), D::deliver, false, false},
        {"failure after recovery", GateStep::failDecoding, {}, D::drop, true, true},
    });
}

}  // namespace
}  // namespace orvanta::protocol
