#include <gtest/gtest.h>

#include "protocol/BonjourDiscovery.h"
#include "protocol/CloseCodes.h"
#include "protocol/DeviceNameDisplay.h"

namespace orvanta::protocol {
namespace {

TEST(BonjourDiscovery, BuildsBaseUrlsOnlyForLocalNamesAndValidPorts) {
    struct Case {
        std::string_view host;
        std::int64_t port;
        std::optional<std::string> url;
    };
    const Case cases[] = {
        {"studio.local.", 8767, "http://studio.local:8767"},
        {"Studio.LOCAL", 1, "http://Studio.LOCAL:1"},
        {"my_mac;2.local", 65535, "http://my_mac;2.local:65535"},
        {"studio.local..", 8767, std::nullopt},  // one dot dropped, the other stays
        {"studio.local", 0, std::nullopt},
        {"studio.local", -1, std::nullopt},
        {"studio.local", 65536, std::nullopt},
        {"studio.example", 8767, std::nullopt},
        {"local", 8767, std::nullopt},
        {"my mac.local", 8767, std::nullopt},
        {"my\tmac.local", 8767, std::nullopt},
        {"my\xC2\xA0mac.local", 8767, std::nullopt},  // no-break space
        {"a:b.local", 8767, std::nullopt},
        {"a@b.local", 8767, std::nullopt},
        {"a%b.local", 8767, std::nullopt},
        {"a[b.local", 8767, std::nullopt},
        {"a]b.local", 8767, std::nullopt},
        {"a?b.local", 8767, std::nullopt},
        {"a#b.local", 8767, std::nullopt},
        {"a/b.local", 8767, std::nullopt},
        {"a/\xCC\x81" "b.local", 8767, std::nullopt},  // a combining mark does not hide the slash
        {"\xFF.local", 8767, std::nullopt},
        // Built from its parts: bytes of other than ASCII are percent-encoded, ASCII keeps its case,
        // and a name no URL host can carry gives nothing.
        {"J\xC3\xBCrgens-MacBook.local.", 8767, "http://J%C3%BCrgens-MacBook.local:8767"},
        {"\xE3\x82\xB9\xE3\x82\xBF.Local", 8767, "http://%E3%82%B9%E3%82%BF.Local:8767"},
        {std::string_view("mac\0evil.local", 14), 8767, std::nullopt},
        {std::string_view("m\xC3\xA4" "c\0.local", 11), 8767, std::nullopt},
        {"m\x01" "ac.local", 8767, std::nullopt},
        {"m\x7F" "ac.local", 8767, std::nullopt},
        {"m\xC2\x80" "ac.local", 8767, std::nullopt},  // a C1 control
        {"a\"b.local", 8767, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(BonjourDiscovery::baseURL(c.host, c.port), c.url) << c.host << " " << c.port;
}

TEST(BonjourDiscovery, AdvertisesTheServiceConstants) {
    EXPECT_EQ(BonjourDiscovery::serviceType, "_tessaril._tcp");
    EXPECT_EQ(BonjourDiscovery::domain, "local.");
    EXPECT_EQ(BonjourDiscovery::port, 8767);
    EXPECT_EQ(BonjourDiscovery::txtRecord, (std::map<std::string, std::string>{{"v", "2"}}));
}

TEST(CloseCode, MapsExactlyTheSixApplicationCodes) {
    EXPECT_EQ(closeCodeFromRaw(4000), std::nullopt);
    EXPECT_EQ(closeCodeFromRaw(4007), std::nullopt);
    EXPECT_EQ(closeCodeFromRaw(1001), std::nullopt);
    EXPECT_EQ(closeCodeFromRaw(4001), CloseCode::stalled);
    EXPECT_EQ(closeCodeFromRaw(4006), CloseCode::notBroadcasting);
    std::uint16_t expected = 4001;
    for (CloseCode code : kAllCloseCodes) {
        EXPECT_EQ(rawValue(code), expected);
        EXPECT_EQ(closeCodeFromRaw(expected++), code);
    }
    EXPECT_EQ(kNotBroadcastingMessage, "配信が始まっていません");
}

TEST(DeviceNameDisplay, TrimsInvisibleScalarsFromBothEndsOnly) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"  iPad  ", "  iPad  "},
        {"\u200BiPad\uFEFF", "iPad"},
        {"\tiPad\n", "iPad"},
        {"\u200B\u200C\u200D\uFE0E\uFE0F\uFEFF\x7F\xC2\x85", ""},
        {"", ""},
        {"Love \u2764\uFE0F", "Love \u2764"},
        {"\U0001F469\u200D\U0001F4BB laptop", "\U0001F469\u200D\U0001F4BB laptop"},
        {"a\u200Bb", "a\u200Bb"},
        {"\xC2\xA0name", "\xC2\xA0name"},  // no-break space is visible
    };
    for (auto [name, shown] : cases) EXPECT_EQ(trimmedDeviceNameForDisplay(name), shown) << name;
}

}  // namespace
}  // namespace orvanta::protocol
