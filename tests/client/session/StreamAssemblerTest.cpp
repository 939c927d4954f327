#include "client/session/StreamAssembler.h"

#include <gtest/gtest.h>

#include <tuple>

#include "client/session/H264TestStream.h"
#include "protocol/StreamConfig.h"
#include "support/ManualExecutor.h"

namespace orvanta::client {
namespace {

using protocol::PacketFlags;
using protocol::PacketType;

const base::Bytes kSps{0x67, 0x64, 0x00, 0x1F, 0xAC};
const base::Bytes kPps{0x68, 0xEE, 0x3C, 0x80};

base::Bytes configPacket(protocol::StreamConfig config) { return config.packet(0, 0)->encoded(); }
protocol::StreamConfig goodConfig(std::uint16_t gen = 1) { return {gen, "h264", 640, 360, 60, kSps, kPps}; }

base::Bytes videoPacket(std::uint16_t gen, std::uint32_t seq, base::Bytes payload, bool key = true,
                        std::uint64_t pts = 1000) {
    return protocol::VideoPacket::make(PacketType::video, key ? PacketFlags::keyframe : PacketFlags{}, gen, seq, pts,
                                       std::move(payload))
        ->encoded();
}
const base::Bytes kUnit{0, 0, 0, 2, 0x65, 0x88};

// An assembler on virtual time with every callback counted.
struct Harness {
    testing::ManualExecutor main;
    std::shared_ptr<StreamAssembler> assembler = std::make_shared<StreamAssembler>(main, main.clock());
    std::vector<std::shared_ptr<const VideoSample>> samples;
    std::vector<protocol::Ack> acks;
    std::vector<std::string> calls;

    Harness() {
        assembler->onFrame = [this](std::shared_ptr<const VideoSample> s, protocol::Ack a) {
            samples.push_back(std::move(s));
            acks.push_back(a);
            calls.push_back("frame");
        };
        assembler->onNeedKeyframe = [this] { calls.push_back("keyframe"); };
        assembler->onNeedFlush = [this] { calls.push_back("flush"); };
        assembler->onDecodeError = [this] { calls.push_back("decodeError"); };
        assembler->onConfig = [this](int w, int h) { calls.push_back(std::to_string(w) + "x" + std::to_string(h)); };
    }
    void feed(const base::Bytes& message) {
        assembler->receive(message);
        main.runUntilIdle();
    }
};

TEST(StreamAssemblerTest, ConfigurationChecksAndTheGateTheyReset) {
    const struct {
        const char* name;
        protocol::StreamConfig config;
        bool accepted;
    } cases[] = {
        {"good", goodConfig(), true},
        {"codec in upper case", {1, "H264", 640, 360, 60, kSps, kPps}, false},
        {"width 0", {1, "h264", 0, 360, 60, kSps, kPps}, false},
        {"width 16385", {1, "h264", 16385, 360, 60, kSps, kPps}, false},
        {"height 16385", {1, "h264", 640, 16385, 60, kSps, kPps}, false},
        {"1 x 1", {1, "h264", 1, 1, 60, kSps, kPps}, true},
        {"16384 x 16384", {1, "h264", 16384, 16384, 60, kSps, kPps}, true},
        {"empty SPS", {1, "h264", 640, 360, 60, {}, kPps}, false},
        {"empty PPS", {1, "h264", 640, 360, 60, kSps, {}}, false},
        {"SPS that is a PPS", {1, "h264", 640, 360, 60, kPps, kPps}, false},
        {"SPS too short for the avcC record", {1, "h264", 640, 360, 60, {0x67, 0x64}, kPps}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.feed(configPacket(goodConfig()));
        h.feed(videoPacket(1, 1, kUnit));
        ASSERT_EQ(h.samples.size(), 1u);
        h.calls.clear();
        h.feed(configPacket(c.config));
        EXPECT_EQ(h.calls.front(), "flush");  // the old format is gone either way
        h.feed(videoPacket(1, 2, kUnit));
        EXPECT_EQ(h.samples.size(), c.accepted ? 2u : 1u);
    }
}

TEST(StreamAssemblerTest, ValidatesLengthPrefixedUnits) {
    const struct {
        base::Bytes payload;
        bool valid;
    } cases[] = {
        {{}, false},
        {{0, 0, 0, 0}, false},
        {{0, 0, 0, 1, 0x65}, true},
        {{0, 0, 0, 1, 0x65, 0, 0, 0, 2, 0x41, 0x9A}, true},
        {{0, 0, 0, 1, 0x65, 0, 0, 0}, false},  // 3 trailing bytes
        {{0, 0, 0, 5, 0x65, 1}, false},        // runs past the end
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x65}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(validateAVCC(c.payload).has_value(), c.valid) << ::testing::PrintToString(c.payload);
}

TEST(StreamAssemblerTest, ThirdFailureInARowRecovers) {
    Harness h;
    h.feed(configPacket(goodConfig()));
    h.feed(videoPacket(1, 1, kUnit));
    h.calls.clear();
    h.feed({});
    h.feed({0x01});
    EXPECT_TRUE(h.calls.empty());
    h.feed({0x01});
    EXPECT_EQ(h.calls, (std::vector<std::string>{"flush", "decodeError", "keyframe"}));

    // Already waiting for a keyframe: no second request.
    h.calls.clear();
    for (int i = 0; i < 3; ++i) h.feed(videoPacket(1, 10, {0, 0, 0, 0}, false));  // dropped by the gate: not counted
    EXPECT_TRUE(h.calls.empty());
    for (int i = 0; i < 3; ++i) h.feed({0x01});
    EXPECT_EQ(h.calls, (std::vector<std::string>{"flush", "decodeError"}));

    // Audio that reaches the assembler is dropped without counting.
    h.calls.clear();
    const auto audio = protocol::VideoPacket::make(PacketType::audio, {}, 1, 1, 0, {1, 2})->encoded();
    for (int i = 0; i < 3; ++i) h.feed(audio);
    EXPECT_TRUE(h.calls.empty());
}

TEST(StreamAssemblerTest, StampsByArrivalAtLeastOneHundredTwentiethApart) {
    Harness h;
    h.feed(configPacket(goodConfig()));
    h.feed(videoPacket(1, 1, kUnit));
    h.main.advance(std::chrono::milliseconds(1));
    h.feed(videoPacket(1, 2, kUnit, false));
    h.main.advance(std::chrono::milliseconds(100));
    h.feed(videoPacket(1, 3, kUnit, false, 777));
    ASSERT_EQ(h.samples.size(), 3u);
    EXPECT_EQ(h.samples[0]->presentationTime.ticks, 0u);
    EXPECT_EQ(h.samples[1]->presentationTime.ticks, MediaTime::ticksPerSecond / 120);
    EXPECT_EQ(h.samples[2]->presentationTime.nanoseconds(), 101'000'000u);
    EXPECT_EQ(h.samples[2]->hostPtsMicros, 777u);
    EXPECT_EQ(std::tuple(h.samples[2]->gen, h.samples[2]->seq, h.samples[2]->keyframe), std::tuple(1, 3u, false));
    EXPECT_TRUE(h.samples[0]->keyframe);
    EXPECT_EQ(h.acks[2], (protocol::Ack{1, 3, h.main.nowMicros()}));

    // After a flush: old video waits for a configuration, and time starts from zero again.
    h.assembler->flush();
    h.main.runUntilIdle();
    h.feed(videoPacket(1, 4, kUnit));
    EXPECT_EQ(h.samples.size(), 3u);
    h.feed(configPacket(goodConfig()));
    h.feed(videoPacket(1, 5, kUnit));
    EXPECT_EQ(h.samples.back()->presentationTime.ticks, 0u);
}

TEST(StreamAssemblerTest, RendererFailureWaitsForOneKeyframe) {
    Harness h;
    h.feed(configPacket(goodConfig()));
    EXPECT_FALSE(h.assembler->notifyRendererFailed());
    h.feed(videoPacket(1, 1, kUnit));
    EXPECT_TRUE(h.assembler->notifyRendererFailed());
    EXPECT_FALSE(h.assembler->notifyRendererFailed());
}

TEST(StreamAssemblerTest, DropsWorkQueuedForAnAssemblerThatIsGone) {
    Harness h;
    h.assembler->receive(configPacket(goodConfig()));
    h.assembler.reset();
    EXPECT_NO_FATAL_FAILURE(h.main.runUntilIdle());
    EXPECT_TRUE(h.calls.empty());
}

TEST(StreamAssemblerTest, SamplesOfRealH264DecodeFromTheFormatItBuilds) {
    const auto stream = testing::encodeTestStream(64, 48, 5);
    ASSERT_FALSE(stream.sps.empty());
    ASSERT_EQ(stream.accessUnits.size(), 5u);
    Harness h;
    h.feed(configPacket({3, "h264", 64, 48, 60, stream.sps, stream.pps}));
    for (std::size_t i = 0; i < stream.accessUnits.size(); ++i)
        h.feed(videoPacket(3, static_cast<std::uint32_t>(i + 1), stream.accessUnits[i], i == 0));
    ASSERT_EQ(h.samples.size(), 5u);
    std::vector<base::Bytes> units;
    for (const auto& s : h.samples) units.push_back(s->avcc);
    const auto sizes = testing::decodeAvcc(h.samples[0]->format->avcC(), units);
    EXPECT_EQ(sizes, (std::vector<std::pair<int, int>>(5, {64, 48})));
}

}  // namespace
}  // namespace orvanta::client
