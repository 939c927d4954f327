#include <gtest/gtest.h>

#include "protocol/StreamConfig.h"

namespace orvanta::protocol {
namespace {

using base::Bytes;
using base::JsonError;

const StreamConfig kConfig{
    .gen = 7,
    .codec = "h264",
    .width = 1920,
    .height = 1080,
    .fpsCap = 60,
    .sps = {0x67, 0x64, 0x00, 0x28, 0xFF, 0xFF},
    .pps = {0x68, 0xEE, 0x3C, 0x80},
};

VideoPacketView configPacket(std::uint16_t gen, std::string_view json, PacketType type = PacketType::config) {
    return {{.type = type, .gen = gen, .length = static_cast<std::uint32_t>(json.size())}, base::asBytes(json)};
}

TEST(StreamConfig, PacksIntoAConfigPacketAndDecodesBackEqual) {
    auto packet = kConfig.packet(12, 5);
    ASSERT_TRUE(packet);
    auto json = kConfig.jsonData();
    ASSERT_TRUE(json);
    EXPECT_EQ(packet->header(), (VideoPacketHeader{.version = 1,
                                                   .type = PacketType::config,
                                                   .flags = {},
                                                   .gen = 7,
                                                   .seq = 12,
                                                   .ptsMicros = 5,
                                                   .length = static_cast<std::uint32_t>(json->size())}));
    EXPECT_TRUE(std::ranges::equal(packet->payload(), *json));
    EXPECT_EQ(StreamConfig::decode(*packet), kConfig);

    // Through the wire form as the client receives it.
    auto received = VideoPacket::parse(packet->encoded());
    ASSERT_TRUE(received);
    EXPECT_EQ(StreamConfig::decode(*received), kConfig);
}

TEST(StreamConfig, WritesCompactSortedJsonWithEscapedSlashes) {
    auto json = kConfig.jsonData();
    ASSERT_TRUE(json);
    EXPECT_EQ(base::asText(*json),
              R"({"codec":"h264","fpsCap":60,"gen":7,"height":1080,"pps":"aO48gA==","sps":"Z2QAKP\/\/","width":1920})");
}

TEST(StreamConfig, RefusesPacketsOfOtherTypesWithoutReadingThem) {
    for (PacketType type : {PacketType::video, PacketType::audio}) {
        EXPECT_EQ(StreamConfig::decode(configPacket(7, "not json", type)).error(),
                  StreamConfigError::notConfigPacket{type});
    }
}

TEST(StreamConfig, RefusesAGenerationThatDiffersFromTheHeader) {
    auto json = StreamConfig{.gen = 4, .codec = "h264"}.jsonData();
    ASSERT_TRUE(json);
    EXPECT_EQ(StreamConfig::decode(configPacket(3, base::asText(*json))).error(),
              (StreamConfigError::genMismatch{3, 4}));
}

TEST(StreamConfig, ReportsBadBase64ByFieldSpsFirst) {
    struct Case {
        std::string_view sps;
        std::string_view pps;
        std::optional<std::string> badField;
    };
    const Case cases[] = {
        {"Z2Q*", "aO48gA==", "sps"},
        {"Z2QAKP//", "aO48gA=", "pps"},
        {"Z2Q", "!!", "sps"},
        {"", "", std::nullopt},
    };
    for (const auto& c : cases) {
        std::string json = R"({"gen":1,"codec":"h264","width":2,"height":2,"fpsCap":30,"sps":")" + std::string(c.sps) +
                           R"(","pps":")" + std::string(c.pps) + "\"}";
        auto config = StreamConfig::decode(configPacket(1, json));
        if (c.badField) {
            EXPECT_EQ(config.error(), StreamConfigError::invalidBase64{*c.badField}) << json;
        } else {
            ASSERT_TRUE(config) << json;
            EXPECT_TRUE(config->sps.empty());
            EXPECT_TRUE(config->pps.empty());
        }
    }
}

TEST(StreamConfig, ReportsTheFirstJsonDefectInReadingOrder) {
    struct Case {
        std::string_view json;
        JsonError::Kind kind;
        std::string path;
    };
    const Case cases[] = {
        {"", JsonError::Kind::dataCorrupted, ""},
        {R"({"gen":1)", JsonError::Kind::dataCorrupted, ""},
        {"[1]", JsonError::Kind::typeMismatch, ""},
        {R"({"codec":5,"width":2,"height":2,"fpsCap":30,"sps":"","pps":""})", JsonError::Kind::keyNotFound, "gen"},
        {R"({"gen":70000,"codec":"h264","width":2,"height":2,"fpsCap":30,"sps":"","pps":""})",
         JsonError::Kind::dataCorrupted, "gen"},
        {R"({"gen":1,"codec":null,"width":2,"height":2,"fpsCap":30,"sps":"","pps":""})", JsonError::Kind::valueNotFound,
         "codec"},
        {R"({"gen":1,"codec":"h264","width":"2","height":2,"sps":"!"})", JsonError::Kind::typeMismatch, "width"},
        {R"({"gen":1,"codec":"h264","width":2,"height":2.5,"fpsCap":30,"sps":"","pps":""})",
         JsonError::Kind::dataCorrupted, "height"},
        {R"({"gen":1,"codec":"h264","width":2,"height":2,"sps":"","pps":""})", JsonError::Kind::keyNotFound, "fpsCap"},
        {R"({"gen":1,"codec":"h264","width":2,"height":2,"fpsCap":30,"sps":[],"pps":"!"})",
         JsonError::Kind::typeMismatch, "sps"},
        {R"({"gen":1,"codec":"h264","width":2,"height":2,"fpsCap":30,"sps":""})", JsonError::Kind::keyNotFound, "pps"},
    };
    for (const auto& c : cases) {
        auto config = StreamConfig::decode(configPacket(1, c.json));
        ASSERT_FALSE(config) << c.json;
        auto invalid = config.error().as<StreamConfigError::invalidJson>();
        ASSERT_NE(invalid, nullptr) << c.json;
        EXPECT_EQ(invalid->error.kind, c.kind) << c.json;
        EXPECT_EQ(invalid->error.path, c.path) << c.json;
    }
}

TEST(StreamConfig, IgnoresUnknownKeysAndDoesNotJudgeTheCodec) {
    auto config = StreamConfig::decode(configPacket(
        9, R"({"gen":9,"codec":"hevc","width":-1,"height":0,"fpsCap":0,"sps":"AA==","pps":"AQ==","extra":{"a":1}})"));
    ASSERT_TRUE(config);
    EXPECT_EQ(*config, (StreamConfig{.gen = 9, .codec = "hevc", .width = -1, .sps = {0}, .pps = {1}}));
}

TEST(StreamConfig, FailsToPackWhatNoPacketCanCarry) {
    StreamConfig huge = kConfig;
    huge.sps.assign(3'200'000, 0xAB);  // over 4 MiB once in Base64
    auto packet = huge.packet(1, 1);
    ASSERT_FALSE(packet);
    auto error = std::get_if<VideoPacketError>(&packet.error());
    ASSERT_NE(error, nullptr);
    EXPECT_NE(error->as<VideoPacketError::payloadTooLarge>(), nullptr);

    StreamConfig badText = kConfig;
    badText.codec = "h\xFF";
    auto refused = badText.packet(1, 1);
    ASSERT_FALSE(refused);
    EXPECT_TRUE(std::holds_alternative<base::JsonEncodeError>(refused.error()));
}

}  // namespace
}  // namespace orvanta::protocol
