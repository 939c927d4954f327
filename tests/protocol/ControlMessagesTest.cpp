#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <sstream>

#include "protocol/ControlMessages.h"

namespace orvanta::protocol {
namespace {

using Kind = base::JsonError::Kind;

// Two bytes whose Base64 text, "//8=", carries slashes.
const AppIcons kIcons{{"Safari", {0xFF, 0xFF}}, {"Finder", {}}};

// At least one message of every case; records with optional fields appear with and without them.
std::vector<ControlMessage> sampleMessages() {
    const DeviceCaps macCaps{.codecs = {"h264"}, .maxFps = 60, .lowPower = false};
    const DeviceCaps fullCaps{.codecs = {"h264", "hevc"},
                              .maxFps = 30,
                              .lowPower = true,
                              .client = "windows-desktop",
                              .separateCursor = false};
    return {
        Hello{
            .token = "tok", .deviceId = "dev-1", .idiom = DeviceIdiom::pad, .viewport = {1920, 1080}, .caps = macCaps},
        Hello{"tok", "dev-2", DeviceIdiom::phone, {390, 844}, fullCaps, Viewport{1170, 2532}},
        Welcome{.sessionId = "6F9619FF-8B86-D011-B42D-00C04FC964FF", .videoTicket = "abc_-"},
        Welcome{"S", "T", AudioFormat::aacLC48kStereo(), "Studio", true},
        Auth{"abc_-"},
        Ack{65535, 4'294'967'295U, std::numeric_limits<std::uint64_t>::max()},
        Ping{1, 2'000'000},
        Pong{1, 2'000'000, 3},
        Notice{.kind = NoticeKind::locked},
        Notice{NoticeKind("somethingNew"), "画面がロックされています"},
        ErrorMessage{4003, "認証に失敗しました"},
        PointerInput{.seq = 1, .action = "move", .x = 0.25, .y = 0.75},
        PointerInput{2, "scroll", 0.0, 1.0, -3.5, 1e-9, 2, true, false, true, false},
        KeyInput{.seq = 3, .name = "a"},
        KeyInput{4, "physical-KeyA", true, false, true, false, KeyInput::Phase::up},
        TextInput{5, "héllo \"/\\\n\t\x01"},
        CursorPosition{.x = 0.5, .y = 0.5},
        CursorPosition{0.1, 0.9, 7, true, CursorPosition::Shape{"iVBORw0KGgo=", 32, 32, 4.5, 1}},
        FitWindowRequest{1280, 720},
        WindowState{.active = false},
        WindowState{true, "Finder"},
        WindowList{},
        WindowList{{{1, "Finder", ""}, {4'294'967'295U, "Safari", "Start/Page"}}, kIcons},
        AppList{},
        AppList{{{"com.example.Safari", "Safari", true, false}}, kIcons},
        LaunchAppRequest{"com.example.Safari"},
        FitWindowTarget{42, 1280, 720},
        DisplayAspectFitRequest{.active = false, .viewportWidth = 0, .viewportHeight = 0},
        DisplayAspectFitRequest{true, 1280, 720, 1.5},
        ClipboardText{"copied/text"},
        ClipboardImage{"iVBORw0KGgo+/w=="},
        ViewportUpdate{1024, 768},
        UnlockRequest{"pässwörd/"},
        AudioRequest{true},
        AudioRequest{false},
        RequestKeyframe{},
        Busy{},
        TakeOver{},
        JoinController{},
        ControllerJoined{},
        UnfitWindow{},
        WindowListRequest{},
        AppListRequest{},
    };
}

TEST(ControlMessage, RoundTripsEveryCase) {
    std::set<std::size_t> cases;
    for (const auto& message : sampleMessages()) {
        cases.insert(message.payload.index());
        auto text = message.jsonString();
        ASSERT_TRUE(text) << message << ": " << text.error().detail;
        EXPECT_EQ(message.jsonData(), text);
        auto decoded = ControlMessage::decode(*text);
        ASSERT_TRUE(decoded) << *text << ": " << decoded.error();
        EXPECT_EQ(*decoded, message) << *text;
        auto json = base::parseJsonObject(*text);
        ASSERT_TRUE(json);
        EXPECT_EQ((*json)["type"], message.typeName());
    }
    EXPECT_EQ(cases.size(), std::variant_size_v<ControlMessage::Payload>);
}

TEST(ControlMessage, NamesEachCaseByItsWireText) {
    const std::vector<std::string_view> expected = {
        "hello",
        "welcome",
        "auth",
        "ack",
        "ping",
        "pong",
        "notice",
        "error",
        "pointer",
        "key",
        "text",
        "cursor",
        "fitWindow",
        "windowState",
        "windowList",
        "applist",
        "launchapp",
        "fitWindowTarget",
        "displayAspectFit",
        "clipboard",
        "clipboardImage",
        "viewport",
        "unlock",
        "audio",
        "requestKeyframe",
        "busy",
        "takeOver",
        "joinController",
        "controllerJoined",
        "unfitWindow",
        "windowListRequest",
        "applist",
    };
    ASSERT_EQ(expected.size(), std::variant_size_v<ControlMessage::Payload>);
    for (const auto& message : sampleMessages()) EXPECT_EQ(message.typeName(), expected[message.payload.index()]);
}

TEST(ControlMessage, WritesCompactSortedJson) {
    struct Case {
        ControlMessage message;
        std::string_view text;
    };
    const Case cases[] = {
        {Busy{}, R"({"type":"busy"})"},
        {AppListRequest{}, R"({"type":"applist"})"},
        {Welcome{.sessionId = "S", .videoTicket = "T"}, R"({"sessionId":"S","type":"welcome","videoTicket":"T"})"},
        {CursorPosition{.x = 0.5, .y = 0.25}, R"({"type":"cursor","x":0.5,"y":0.25})"},
        {Ack{1, 2, std::numeric_limits<std::uint64_t>::max()},
         R"({"gen":1,"seq":2,"t":18446744073709551615,"type":"ack"})"},
        {KeyInput{.seq = 7, .name = "a"},
         R"({"command":false,"control":false,"name":"a","option":false,"seq":7,"shift":false,"type":"key"})"},
        {PointerInput{.seq = 1, .action = "down", .x = 1.0, .shift = true},
         R"({"action":"down","seq":1,"shift":true,"type":"pointer","x":1})"},
        {AppList{{{"com.a/b", "A", false, true}}},
         R"({"entries":[{"bundleId":"com.a\/b","hasWindow":true,"name":"A","running":false}],"type":"applist"})"},
        {WindowList{{}, AppIcons{{"Safari", {0xFF, 0xFF}}}},
         R"({"appIcons":{"Safari":"\/\/8="},"entries":[],"type":"windowList"})"},
        {ClipboardText{"a/b"}, R"({"text":"a\/b","type":"clipboard"})"},
        {ClipboardImage{"iVBO//8+"}, R"({"data":"iVBO//8+","type":"clipboardImage"})"},
        {TextInput{1, "é\"\\\n\x01"}, "{\"seq\":1,\"type\":\"text\",\"value\":\"é\\\"\\\\\\n\\u0001\"}"},
        // A negative zero is written as zero, so that its text reads back and is written the same.
        {PointerInput{.seq = 1, .action = "scroll", .dx = -3.0, .dy = -0.0},
         R"({"action":"scroll","dx":-3,"dy":0,"seq":1,"type":"pointer"})"},
        {CursorPosition{-0.0, 0, {}, {}, CursorPosition::Shape{"", -0.0, 1, -0.0, 0}},
         R"({"shape":{"height":1,"hotX":0,"hotY":0,"png":"","width":0},"type":"cursor","x":0,"y":0})"},
        {DisplayAspectFitRequest{true, 1, 1, -0.0},
         R"({"active":true,"scale":0,"type":"displayAspectFit","viewportHeight":1,"viewportWidth":1})"},
        {Hello{"t", "d", DeviceIdiom::pad, {1, 2}, {.codecs = {"h264"}, .maxFps = 60, .lowPower = false}},
         R"({"caps":{"codecs":["h264"],"lowPower":false,"maxFps":60},"deviceId":"d","idiom":"pad",)"
         R"("token":"t","type":"hello","viewport":{"height":2,"width":1}})"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.message.jsonString(), c.text);
}

TEST(ControlMessage, ReadsSlashesEscapedOrBare) {
    EXPECT_EQ(ControlMessage::decode(R"({"data":"iVBO\/\/8+","type":"clipboardImage"})"),
              ControlMessage(ClipboardImage{"iVBO//8+"}));
    EXPECT_EQ(ControlMessage::decode(R"({"type":"windowList","entries":[],"appIcons":{"Safari":"//8="}})"),
              ControlMessage(WindowList{{}, AppIcons{{"Safari", {0xFF, 0xFF}}}}));
}

TEST(ControlMessage, RefusesToEncodeNonFiniteNumbers) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    struct Case {
        ControlMessage message;
        std::string_view path;
    };
    const Case cases[] = {
        {PointerInput{.seq = 1, .action = "move", .x = nan}, "x"},
        {PointerInput{.seq = 1, .action = "scroll", .dy = -inf}, "dy"},
        {CursorPosition{.x = inf, .y = 0}, "x"},
        {CursorPosition{0, 0, {}, {}, CursorPosition::Shape{"", 1, nan, 0, 0}}, "shape.height"},
        {DisplayAspectFitRequest{true, 1, 1, inf}, "scale"},
    };
    for (const auto& c : cases) {
        auto text = c.message.jsonString();
        ASSERT_FALSE(text) << *text;
        EXPECT_EQ(text.error().path, c.path);
        EXPECT_EQ(text.error().detail, "non-finite number");
    }
}

TEST(ControlMessage, RefusesToEncodeTextThatIsNotUtf8) {
    auto text = ControlMessage(TextInput{1, "a\xFF"}).jsonString();
    ASSERT_FALSE(text);
    EXPECT_EQ(text.error().path, "value");
}

// "kind@path" for a JSON error, "unknownType:text" for an unknown type.
std::string summary(const ControlMessageDecodeError& error) {
    if (const auto* json = error.as<base::JsonError>()) return base::toString(json->kind) + "@" + json->path;
    return "unknownType:" + error.as<ControlMessageError>()->as<ControlMessageError::unknownType>()->text;
}

TEST(ControlMessage, ReportsWhyATextIsNotAMessage) {
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {"", "dataCorrupted@"},
        {"not json", "dataCorrupted@"},
        {R"({"type":"busy"} {})", "dataCorrupted@"},
        {"{\"type\":\"text\",\"seq\":1,\"value\":\"\xC3\"}", "dataCorrupted@"},  // not UTF-8
        {R"(["busy"])", "typeMismatch@"},
        {"null", "typeMismatch@"},
        {"{}", "keyNotFound@type"},
        {R"({"type":null})", "valueNotFound@type"},
        {R"({"type":1})", "typeMismatch@type"},
        {R"({"type":"ping"})", "keyNotFound@id"},
        {R"({"type":"Hello"})", "unknownType:Hello"},
        {R"({"type":"launchApp"})", "unknownType:launchApp"},
        {R"({"type":"appList","entries":[]})", "unknownType:appList"},
        {R"({"type":"busy "})", "unknownType:busy "},
        {R"({"type":""})", "unknownType:"},
    };
    for (const auto& c : cases) {
        auto result = ControlMessage::decode(c.text);
        ASSERT_FALSE(result) << c.text;
        EXPECT_EQ(summary(result.error()), c.error) << c.text << ": " << result.error();
    }
}

TEST(ControlMessage, IgnoresKeysItDoesNotRead) {
    EXPECT_EQ(ControlMessage::decode(R"({"type":"busy","extra":1,"entries":[]})"), ControlMessage(Busy{}));
    EXPECT_EQ(ControlMessage::decode(R"({"id":3,"t":4,"type":"ping","seq":"x"})"), ControlMessage(Ping{3, 4}));
}

TEST(ControlMessage, TellsTheAppListFromItsRequestByEntries) {
    struct Case {
        std::string_view text;
        std::optional<ControlMessage> message;
        std::string error;
    };
    const Case cases[] = {
        {R"({"type":"applist"})", AppListRequest{}, ""},
        {R"({"type":"applist","appIcons":{}})", AppListRequest{}, ""},
        {R"({"type":"applist","entries":[]})", AppList{}, ""},
        {R"({"type":"applist","entries":[],"appIcons":null})", AppList{}, ""},
        {R"({"type":"applist","entries":[],"appIcons":{}})", AppList{{}, AppIcons{}}, ""},
        {R"({"type":"applist","entries":null})", std::nullopt, "valueNotFound@entries"},
        {R"({"type":"applist","entries":{}})", std::nullopt, "typeMismatch@entries"},
        {R"({"type":"applist","entries":[],"appIcons":{"a":"!"}})", std::nullopt, "dataCorrupted@appIcons.a"},
        {R"({"type":"applist","entries":[{"bundleId":"x","name":"X","running":true}]})", std::nullopt,
         "keyNotFound@entries[0].hasWindow"},
    };
    for (const auto& c : cases) {
        auto result = ControlMessage::decode(c.text);
        if (c.message) {
            EXPECT_EQ(result, *c.message) << c.text;
        } else {
            ASSERT_FALSE(result) << c.text;
            EXPECT_EQ(summary(result.error()), c.error) << c.text;
        }
    }
    EXPECT_NE(AppList{}, (AppList{{}, AppIcons{}}));
}

TEST(ControlMessage, EncodesAnUnacceptablePasswordThatThePeerRefuses) {
    for (std::string password : {std::string(), std::string(UnlockRequest::maxLength + 1, 'a')}) {
        auto text = ControlMessage(UnlockRequest{password}).jsonString();
        ASSERT_TRUE(text);
        auto decoded = ControlMessage::decode(*text);
        ASSERT_FALSE(decoded);
        EXPECT_EQ(decoded.error(), ControlMessageDecodeError(base::JsonError{Kind::dataCorrupted, "password",
                                                                             "password length out of range"}));
    }
}

TEST(ControlMessage, SurvivesDeeplyNestedInput) {
    constexpr std::size_t kDepth = 100'000;
    std::string text = R"({"type":"ping","t":1,"id":)" + std::string(kDepth, '[') + std::string(kDepth, ']') + "}";
    auto result = ControlMessage::decode(text);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().as<base::JsonError>()->kind, Kind::typeMismatch);
    EXPECT_EQ(result.error().as<base::JsonError>()->path, "id");
}

TEST(ControlMessagePrinting, ShowsNeitherPasswordsNorImageData) {
    const std::string password = "hunter2";
    const std::string image = "iVBORw0KGgo=";
    auto print = [](const auto& value) {
        std::ostringstream out;
        out << value;
        return out.str();
    };
    EXPECT_EQ(print(UnlockRequest{password}), "UnlockRequest");
    EXPECT_EQ(print(ClipboardImage{image}), "ClipboardImage");
    EXPECT_EQ(print(ControlMessage(UnlockRequest{password})), "UnlockRequest");
    EXPECT_EQ(print(ControlMessage(ClipboardImage{image})), "ClipboardImage");
    EXPECT_EQ(testing::PrintToString(UnlockRequest{password}), "UnlockRequest");
    EXPECT_EQ(testing::PrintToString(ClipboardImage{image}), "ClipboardImage");
    auto decoded = ControlMessage::decode(R"({"type":"unlock","password":"hunter2"})");
    EXPECT_EQ(testing::PrintToString(decoded), "UnlockRequest");
    EXPECT_EQ(testing::PrintToString(std::optional<UnlockRequest>(UnlockRequest{password})), "(UnlockRequest)");
}

TEST(ControlMessagePrinting, RedactsTokensAndTickets) {
    const ControlMessage messages[] = {
        Hello{"secret-token", "dev-1", DeviceIdiom::pad, {1, 2}, {.codecs = {}, .maxFps = 60, .lowPower = false}},
        Welcome{.sessionId = "S-1", .videoTicket = "secret-ticket"},
        Auth{"secret-ticket"},
    };
    for (const auto& message : messages) {
        auto printed = testing::PrintToString(message);
        EXPECT_EQ(printed.find("secret"), std::string::npos) << printed;
        EXPECT_NE(printed.find("<redacted>"), std::string::npos) << printed;
        EXPECT_NE(printed.find(message.typeName()), std::string::npos) << printed;
    }
    EXPECT_EQ(testing::PrintToString(Ping{1, 2}), R"({"id":1,"t":2})");
}

}  // namespace
}  // namespace orvanta::protocol
