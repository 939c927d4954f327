#include <gtest/gtest.h>

#include "base/Json.h"
#include "protocol/AudioFormat.h"

namespace orvanta::protocol {
namespace {

using base::Bytes;
using base::JsonError;

base::JsonResult<AudioFormat> readFormat(std::string_view text) {
    auto json = base::parseJsonObject(text);
    if (!json) return std::unexpected(json.error());
    return base::readJsonValue<AudioFormat>(*json);
}

TEST(AudioFormat, BuildsAudioSpecificConfigFromRateAndChannels) {
    struct Case {
        std::int64_t sampleRate;
        std::int64_t channels;
        std::optional<Bytes> asc;
    };
    const Case cases[] = {
        {48000, 2, Bytes{0x11, 0x90}}, {44100, 2, Bytes{0x12, 0x10}}, {96000, 1, Bytes{0x10, 0x08}},
        {7350, 7, Bytes{0x16, 0x38}},  {8000, 1, Bytes{0x15, 0x88}},  {47999, 2, std::nullopt},
        {48000, 0, std::nullopt},      {48000, 8, std::nullopt},      {48000, -1, std::nullopt},
        {0, 2, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AudioFormat::audioSpecificConfig(c.sampleRate, c.channels), c.asc)
            << c.sampleRate << " Hz " << c.channels << " ch";
    }
}

TEST(AudioFormat, OffersAacLc48kStereo) {
    const AudioFormat& offer = AudioFormat::aacLC48kStereo();
    EXPECT_EQ(offer, (AudioFormat{"aac-lc", 48000, 2, 1024, Bytes{0x11, 0x90}}));
    EXPECT_TRUE(offer.isSupportedAACLC());
    EXPECT_NEAR(offer.frameDurationMicros(), 21333.333333, 1e-5);
}

TEST(AudioFormat, LeavesAscEmptyWhenRateHasNoConfig) {
    auto format = AudioFormat::make("aac-lc", 12345, 2, 1024);
    EXPECT_TRUE(format.asc.empty());
    EXPECT_FALSE(format.isSupportedAACLC());
    EXPECT_EQ(AudioFormat::make("aac-lc", 48000, 2, 1024, Bytes{1}).asc, Bytes{1});
}

TEST(AudioFormat, JudgesOffersPlayable) {
    const AudioFormat base{"aac-lc", 8000, 1, 1024, Bytes{0xAB, 0xCD}};  // asc bytes need not match
    struct Case {
        const char* what;
        void (*change)(AudioFormat&);
        bool supported;
    };
    const Case cases[] = {
        {"8 kHz mono, any two asc bytes", [](AudioFormat&) {}, true},
        {"stereo", [](AudioFormat& f) { f.channels = 2; }, true},
        {"three channels", [](AudioFormat& f) { f.channels = 3; }, false},
        {"no channels", [](AudioFormat& f) { f.channels = 0; }, false},
        {"960 samples", [](AudioFormat& f) { f.samplesPerFrame = 960; }, false},
        {"one asc byte", [](AudioFormat& f) { f.asc = {0x15}; }, false},
        {"longer asc",
         [](AudioFormat& f) {
             f.asc = {1, 2, 3};
         },
         true},
        {"other codec", [](AudioFormat& f) { f.codec = "opus"; }, false},
        {"codec case", [](AudioFormat& f) { f.codec = "AAC-LC"; }, false},
        {"rate outside table", [](AudioFormat& f) { f.sampleRate = 8001; }, false},
    };
    for (const auto& c : cases) {
        AudioFormat format = base;
        c.change(format);
        EXPECT_EQ(format.isSupportedAACLC(), c.supported) << c.what;
    }
}

TEST(AudioFormat, FrameDurationIsZeroWithoutPositiveRate) {
    for (std::int64_t rate : {0, -48000}) {
        EXPECT_EQ((AudioFormat{"aac-lc", rate, 2, 1024, {}}.frameDurationMicros()), 0.0) << rate;
    }
    EXPECT_DOUBLE_EQ((AudioFormat{"aac-lc", 1, 2, INT64_MAX, {}}.frameDurationMicros()), 9.223372036854775807e24);
}

TEST(AudioFormat, WritesSortedJsonAndReadsItBack) {
    auto text = base::writeJsonText(base::writeJsonValue(AudioFormat::aacLC48kStereo()));
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, R"({"asc":"EZA=","channels":2,"codec":"aac-lc","sampleRate":48000,"samplesPerFrame":1024})");
    EXPECT_EQ(readFormat(*text), AudioFormat::aacLC48kStereo());
}

TEST(AudioFormat, ReportsTheFirstBadKeyInReadingOrder) {
    struct Case {
        std::string_view json;
        JsonError::Kind kind;
        std::string path;
    };
    const Case cases[] = {
        {R"({"sampleRate":48000,"channels":2,"samplesPerFrame":1024,"asc":"EZA="})", JsonError::Kind::keyNotFound,
         "codec"},
        {R"({"codec":"aac-lc","sampleRate":"48000","channels":2,"samplesPerFrame":1024,"asc":"!"})",
         JsonError::Kind::typeMismatch, "sampleRate"},
        {R"({"codec":"aac-lc","sampleRate":48000,"channels":null,"samplesPerFrame":1024,"asc":"EZA="})",
         JsonError::Kind::valueNotFound, "channels"},
        {R"({"codec":"aac-lc","sampleRate":48000,"channels":2,"asc":"!"})", JsonError::Kind::keyNotFound,
         "samplesPerFrame"},
        {R"({"codec":"aac-lc","sampleRate":48000,"channels":2,"samplesPerFrame":1024,"asc":5})",
         JsonError::Kind::typeMismatch, "asc"},
    };
    for (const auto& c : cases) {
        auto result = readFormat(c.json);
        ASSERT_FALSE(result) << c.json;
        EXPECT_EQ(result.error().kind, c.kind) << c.json;
        EXPECT_EQ(result.error().path, c.path) << c.json;
    }
}

TEST(AudioFormat, RefusesAscThatIsNotBase64) {
    for (std::string_view asc : {"EZA", "EZ A=", "EZ@=", "EZB="}) {
        std::string json = R"({"codec":"aac-lc","sampleRate":48000,"channels":2,"samplesPerFrame":1024,"asc":")" +
                           std::string(asc) + "\"}";
        EXPECT_EQ(readFormat(json).error(), (JsonError{JsonError::Kind::dataCorrupted, "asc", "asc is not base64"}))
            << asc;
    }
    auto empty = readFormat(R"({"codec":"x","sampleRate":1,"channels":1,"samplesPerFrame":1,"asc":"","more":1})");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->asc.empty());
}

VideoPacketHeader audio(std::uint16_t gen, std::uint32_t seq, PacketFlags flags = {}, std::uint32_t length = 400) {
    return {.type = PacketType::audio, .flags = flags, .gen = gen, .seq = seq, .length = length};
}

struct AudioStep {
    const char* what;
    VideoPacketHeader header;
    AudioDecision decision;
};

void runAudioGate(AudioPacketFilter& gate, std::initializer_list<AudioStep> steps) {
    for (const auto& step : steps) {
        const auto genBefore = gate.currentGen();
        const auto seqBefore = gate.lastSeq();
        EXPECT_EQ(gate.decide(step.header), step.decision) << step.what;
        if (step.decision == AudioDecision::drop) {
            EXPECT_EQ(gate.currentGen(), genBefore) << step.what;
            EXPECT_EQ(gate.lastSeq(), seqBefore) << step.what;
        } else {
            EXPECT_EQ(gate.currentGen(), step.header.gen) << step.what;
            EXPECT_EQ(gate.lastSeq(), step.header.seq) << step.what;
        }
    }
}

using A = AudioDecision;

TEST(AudioPacketFilter, PlaysInOrderAndDropsDuplicateOrLatePackets) {
    AudioPacketFilter gate;
    runAudioGate(gate, {
                           {"first packet", audio(1, 10), A::resetAndPlay},
                           {"next", audio(1, 11), A::play},
                           {"duplicate", audio(1, 11), A::drop},
                           {"late", audio(1, 9), A::drop},
                           {"gap", audio(1, 14), A::resyncAndPlay},
                           {"marked discontinuity", audio(1, 15, PacketFlags::discontinuity), A::resyncAndPlay},
                           {"keyframe flag plays no part", audio(1, 16, PacketFlags::keyframe), A::play},
                           {"new generation", audio(2, 0), A::resetAndPlay},
                           {"old generation restarts too", audio(1, 17), A::resetAndPlay},
                       });
}

TEST(AudioPacketFilter, ComparesSequenceNumbersAcrossTheWrap) {
    AudioPacketFilter gate;
    runAudioGate(gate, {
                           {"start near the top", audio(3, 0xFFFFFFFE), A::resetAndPlay},
                           {"top", audio(3, 0xFFFFFFFF), A::play},
                           {"wraps to zero", audio(3, 0), A::play},
                           {"before the wrap is late", audio(3, 0xFFFFFFFF), A::drop},
                           {"largest forward jump", audio(3, 0x7FFFFFFF), A::resyncAndPlay},
                           {"half the space ahead is late", audio(3, 0xFFFFFFFF), A::drop},
                           {"0x80000001 ahead is late", audio(3, 0), A::drop},
                           {"next after the jump", audio(3, 0x80000000), A::play},
                       });
}

TEST(AudioPacketFilter, DropsWhatIsNotAPlayableAudioPacket) {
    AudioPacketFilter gate;
    runAudioGate(gate, {
                           {"before any stream: empty", audio(1, 1, {}, 0), A::drop},
                           {"first", audio(1, 1), A::resetAndPlay},
                           {"video", {.type = PacketType::video, .gen = 1, .seq = 2, .length = 10}, A::drop},
                           {"config", {.type = PacketType::config, .gen = 2, .seq = 2, .length = 10}, A::drop},
                           {"empty", audio(1, 2, {}, 0), A::drop},
                           {"too long", audio(1, 2, {}, 8193), A::drop},
                           {"new generation too long", audio(9, 2, {}, 8193), A::drop},
                           {"largest", audio(1, 2, {}, 8192), A::play},
                           {"smallest", audio(1, 3, {}, 1), A::play},
                       });
}

TEST(AudioPacketFilter, RestartsAfterReset) {
    AudioPacketFilter gate;
    EXPECT_EQ(gate.decide(audio(4, 100)), A::resetAndPlay);
    gate.reset();
    EXPECT_EQ(gate.currentGen(), std::nullopt);
    EXPECT_EQ(gate.lastSeq(), std::nullopt);
    runAudioGate(gate, {
                           {"same generation, earlier seq", audio(4, 50), A::resetAndPlay},
                           {"then follows on", audio(4, 51), A::play},
                       });
}

TEST(VideoDelayForAudio, KeepsOnlyTheOfferedDelays) {
    EXPECT_EQ(VideoDelayForAudio::choicesMillis, (std::array<int, 5>{50, 100, 150, 200, 300}));
    EXPECT_EQ(VideoDelayForAudio::defaultMillis, 100);
    for (int choice : VideoDelayForAudio::choicesMillis) EXPECT_EQ(VideoDelayForAudio::normalized(choice), choice);
    for (int other : {0, 120, -50, 301, 49}) EXPECT_EQ(VideoDelayForAudio::normalized(other), 100) << other;
}

}  // namespace
}  // namespace orvanta::protocol
