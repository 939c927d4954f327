#include <gtest/gtest.h>

#include <unordered_set>

#include "base/Base64.h"
#include "protocol/ControlMessages.h"

namespace orvanta::protocol {
namespace {

const std::string kCaps = R"("caps":{"codecs":["h264"],"maxFps":60,"lowPower":false})";
const std::string kHelloStart = R"({"type":"hello","token":"t","deviceId":"d","idiom":"pad",)";
const std::string kHelloFields = kHelloStart + R"("viewport":{"width":10,"height":20},)" + kCaps;

const Hello kHello{"t", "d", DeviceIdiom::pad, {10, 20}, {.codecs = {"h264"}, .maxFps = 60, .lowPower = false}};

Hello helloWith(std::optional<Viewport> screenPixels, std::optional<bool> separateCursor = std::nullopt) {
    Hello hello = kHello;
    hello.screenPixels = screenPixels;
    hello.caps.separateCursor = separateCursor;
    return hello;
}

PointerInput pointerWith(std::optional<bool> shift, std::optional<bool> command = std::nullopt) {
    PointerInput pointer{.seq = 1, .action = "move", .x = 0.5};
    pointer.shift = shift;
    pointer.command = command;
    return pointer;
}

// Texts that decode, some only because a lenient field absorbs a defect, and what they give.
TEST(ControlMessageFields, AcceptsOptionalAndLenientFieldsByTheirRules) {
    struct Case {
        std::string text;
        ControlMessage message;
    };
    const Case cases[] = {
        {kHelloFields + "}", kHello},
        {kHelloFields + R"(,"purpose":"clipboard"})", kHello},
        {kHelloFields + R"(,"screenPixels":{"width":1170,"height":2532}})", helloWith(Viewport{1170, 2532})},
        {kHelloFields + R"(,"screenPixels":null})", kHello},
        {kHelloFields + R"(,"screenPixels":"1170x2532"})", kHello},
        {kHelloFields + R"(,"screenPixels":{"width":1170}})", kHello},
        {kHelloFields + R"(,"screenPixels":{"width":1.5,"height":2}})", kHello},
        {kHelloStart + R"("viewport":{"width":10,"height":20},"caps":{"codecs":["h264"],"maxFps":60,)"
                       R"("lowPower":false,"separateCursor":false}})",
         helloWith(std::nullopt, false)},
        {R"({"type":"welcome","sessionId":"S","videoTicket":"T","hostName":null,"viewOnly":null,"audio":null})",
         Welcome{.sessionId = "S", .videoTicket = "T"}},
        {R"({"type":"welcome","sessionId":"S","videoTicket":"T","audio":{"codec":"aac-lc","sampleRate":48000,)"
         R"("channels":2,"samplesPerFrame":1024,"asc":"EZA="}})",
         Welcome{.sessionId = "S", .videoTicket = "T", .audio = AudioFormat::aacLC48kStereo()}},
        {R"({"type":"notice","kind":"brandNew"})", Notice{.kind = NoticeKind("brandNew")}},
        {R"({"type":"notice","kind":"locked","message":null})", Notice{.kind = NoticeKind::locked}},
        // Integers at the edges of their widths, and integral numbers written with a fraction or exponent.
        {R"({"type":"ack","gen":65535,"seq":4294967295,"t":18446744073709551615})",
         Ack{65535, 4'294'967'295U, 18'446'744'073'709'551'615ULL}},
        {R"({"type":"ack","gen":1.0,"seq":1e3,"t":0})", Ack{1, 1000, 0}},
        {R"({"type":"error","code":-9223372036854775808,"message":""})",
         ErrorMessage{std::numeric_limits<std::int64_t>::min(), ""}},
        {R"({"type":"pointer","seq":1,"action":"move","x":0.5,"shift":1})", pointerWith(std::nullopt)},
        {R"({"type":"pointer","seq":1,"action":"move","x":0.5,"shift":"yes","command":null})",
         pointerWith(std::nullopt)},
        {R"({"type":"pointer","seq":1,"action":"move","x":0.5,"shift":false,"command":true})",
         pointerWith(false, true)},
        {R"({"type":"pointer","seq":1,"action":"wiggle","y":null})", PointerInput{.seq = 1, .action = "wiggle"}},
        {R"({"type":"key","seq":1,"name":"a"})", KeyInput{.seq = 1, .name = "a"}},
        {R"({"type":"key","seq":1,"name":"a","command":null,"shift":true,"phase":null})",
         KeyInput{.seq = 1, .name = "a", .shift = true}},
        {R"({"type":"key","seq":1,"name":"a","phase":"down"})",
         KeyInput{.seq = 1, .name = "a", .phase = KeyInput::Phase::down}},
        {R"({"type":"cursor","x":0.5,"y":0.5,"gen":70000,"visible":"yes"})", CursorPosition{.x = 0.5, .y = 0.5}},
        {R"({"type":"cursor","x":0.5,"y":0.5,"gen":-1,"visible":true})",
         CursorPosition{.x = 0.5, .y = 0.5, .visible = true}},
        {R"({"type":"cursor","x":0,"y":1,"gen":3,"shape":{"png":"AA==","width":1,"height":1,"hotX":0}})",
         CursorPosition{.x = 0, .y = 1, .gen = 3}},
        {R"({"type":"cursor","x":0,"y":1,"shape":{"png":"AA==","width":1,"height":1,"hotX":0,"hotY":null}})",
         CursorPosition{.x = 0, .y = 1}},
        {R"({"type":"cursor","x":0,"y":1,"shape":{"png":"AA==","width":1,"height":1,"hotX":0,"hotY":2}})",
         CursorPosition{.x = 0, .y = 1, .shape = CursorPosition::Shape{"AA==", 1, 1, 0, 2}}},
        {R"({"type":"windowState","active":true,"appName":null})", WindowState{.active = true}},
        {R"({"type":"windowList","entries":[{"windowId":4294967295,"appName":"A","title":""}]})",
         WindowList{{{4'294'967'295U, "A", ""}}}},
        {R"({"type":"windowList","entries":[],"appIcons":{}})", WindowList{{}, AppIcons{}}},
        {R"({"type":"displayAspectFit","active":true,"viewportWidth":1,"viewportHeight":2})",
         DisplayAspectFitRequest{.active = true, .viewportWidth = 1, .viewportHeight = 2}},
        {R"({"type":"audio","enabled":false})", AudioRequest{false}},
    };
    for (const auto& c : cases) EXPECT_EQ(ControlMessage::decode(c.text), c.message) << c.text;
}

// Texts whose payload breaks a rule: the JSON error's kind and key path.
TEST(ControlMessageFields, RejectsRequiredAndStrictFieldsThatBreakTheirRules) {
    using Kind = base::JsonError::Kind;
    struct Case {
        std::string text;
        Kind kind;
        std::string path;
    };
    const Case cases[] = {
        {kHelloStart + R"("viewport":{"width":10,"height":20}})", Kind::keyNotFound, "caps"},
        {R"({"type":"hello","token":"t","deviceId":"d","idiom":"Pad","viewport":{"width":1,"height":1},)" + kCaps + "}",
         Kind::dataCorrupted, "idiom"},
        {R"({"type":"hello","token":"t","deviceId":"d","idiom":1,"viewport":{"width":1,"height":1},)" + kCaps + "}",
         Kind::typeMismatch, "idiom"},
        {kHelloStart + R"("viewport":{"width":1.5,"height":20},)" + kCaps + "}", Kind::dataCorrupted, "viewport.width"},
        {kHelloStart + R"("viewport":{"width":10},)" + kCaps + "}", Kind::keyNotFound, "viewport.height"},
        {kHelloStart + R"("viewport":null,)" + kCaps + "}", Kind::valueNotFound, "viewport"},
        {kHelloStart + R"("viewport":"10x20",)" + kCaps + "}", Kind::typeMismatch, "viewport"},
        {kHelloStart + R"("viewport":{"width":10,"height":20},"caps":{"codecs":["h264"],"maxFps":60}})",
         Kind::keyNotFound, "caps.lowPower"},
        {kHelloStart + R"("viewport":{"width":10,"height":20},"caps":{"codecs":[1],"maxFps":60,"lowPower":true}})",
         Kind::typeMismatch, "caps.codecs[0]"},
        {kHelloStart + R"("viewport":{"width":10,"height":20},"caps":{"codecs":[],"maxFps":60,"lowPower":true,)"
                       R"("separateCursor":"yes"}})",
         Kind::typeMismatch, "caps.separateCursor"},
        {R"({"type":"welcome","sessionId":"S","videoTicket":"T","viewOnly":"no"})", Kind::typeMismatch, "viewOnly"},
        {R"({"type":"welcome","sessionId":"S","videoTicket":"T","audio":{"codec":"aac-lc","sampleRate":48000,)"
         R"("channels":2,"samplesPerFrame":1024,"asc":"E"}})",
         Kind::dataCorrupted, "audio.asc"},
        {R"({"type":"auth"})", Kind::keyNotFound, "ticket"},
        {R"({"type":"ack","gen":65536,"seq":1,"t":1})", Kind::dataCorrupted, "gen"},
        {R"({"type":"ack","gen":1.5,"seq":1,"t":1})", Kind::dataCorrupted, "gen"},
        {R"({"type":"ack","gen":1,"seq":-1,"t":1})", Kind::dataCorrupted, "seq"},
        {R"({"type":"ack","gen":1,"seq":4294967296,"t":1})", Kind::dataCorrupted, "seq"},
        {R"({"type":"ack","gen":1,"seq":1,"t":18446744073709551616})", Kind::dataCorrupted, "t"},
        {R"({"type":"ack","gen":1,"seq":1,"t":-1})", Kind::dataCorrupted, "t"},
        {R"({"type":"ack","gen":1,"seq":1,"t":"1"})", Kind::typeMismatch, "t"},
        {R"({"type":"ping","id":1})", Kind::keyNotFound, "t"},
        {R"({"type":"pong","id":1,"t":2})", Kind::keyNotFound, "clientTime"},
        {R"({"type":"notice","kind":1})", Kind::typeMismatch, "kind"},
        {R"({"type":"notice","message":"m"})", Kind::keyNotFound, "kind"},
        {R"({"type":"notice","kind":"locked","message":1})", Kind::typeMismatch, "message"},
        {R"({"type":"error","code":1.5,"message":"m"})", Kind::dataCorrupted, "code"},
        {R"({"type":"error","code":9223372036854775808,"message":"m"})", Kind::dataCorrupted, "code"},
        {R"({"type":"pointer","seq":1,"action":"move","x":"0.5"})", Kind::typeMismatch, "x"},
        {R"({"type":"pointer","seq":1,"action":"down","clickState":2.5})", Kind::dataCorrupted, "clickState"},
        {R"({"type":"pointer","action":"move"})", Kind::keyNotFound, "seq"},
        {R"({"type":"key","seq":1,"name":"a","command":1})", Kind::typeMismatch, "command"},
        {R"({"type":"key","seq":1,"name":"a","phase":"Down"})", Kind::dataCorrupted, "phase"},
        {R"({"type":"key","name":"a","phase":"hold"})", Kind::dataCorrupted, "phase"},  // read before "seq"
        {R"({"type":"text","seq":1,"value":null})", Kind::valueNotFound, "value"},
        {R"({"type":"cursor","x":0.5})", Kind::keyNotFound, "y"},
        {R"({"type":"cursor","x":"0.5","y":0.5})", Kind::typeMismatch, "x"},
        {R"({"type":"viewport","width":1.5,"height":1})", Kind::dataCorrupted, "width"},
        {R"({"type":"fitWindow","viewportWidth":1})", Kind::keyNotFound, "viewportHeight"},
        {R"({"type":"fitWindowTarget","windowId":4294967296,"viewportWidth":1,"viewportHeight":1})",
         Kind::dataCorrupted, "windowId"},
        {R"({"type":"windowState","active":"true"})", Kind::typeMismatch, "active"},
        {R"({"type":"windowList","entries":[{"windowId":1,"appName":"A"}]})", Kind::keyNotFound, "entries[0].title"},
        {R"({"type":"windowList","entries":[],"appIcons":{"A":"not base64"}})", Kind::dataCorrupted, "appIcons.A"},
        {R"({"type":"windowList","entries":[],"appIcons":{"A":null}})", Kind::valueNotFound, "appIcons.A"},
        {R"({"type":"windowList","entries":[],"appIcons":[]})", Kind::typeMismatch, "appIcons"},
        {R"({"type":"launchapp"})", Kind::keyNotFound, "bundleId"},
        {R"({"type":"displayAspectFit","active":true,"viewportWidth":1,"viewportHeight":2,"scale":"1"})",
         Kind::typeMismatch, "scale"},
        {R"({"type":"clipboard","text":1})", Kind::typeMismatch, "text"},
        {R"({"type":"clipboardImage"})", Kind::keyNotFound, "data"},
        {R"({"type":"unlock"})", Kind::keyNotFound, "password"},
        {R"({"type":"unlock","password":7})", Kind::typeMismatch, "password"},
        {R"({"type":"unlock","password":""})", Kind::dataCorrupted, "password"},
        {R"({"type":"audio","enabled":"true"})", Kind::typeMismatch, "enabled"},
        {R"({"type":"audio","enabled":1})", Kind::typeMismatch, "enabled"},
    };
    for (const auto& c : cases) {
        auto result = ControlMessage::decode(c.text);
        ASSERT_FALSE(result) << c.text;
        const auto* error = result.error().as<base::JsonError>();
        ASSERT_NE(error, nullptr) << c.text << ": " << result.error();
        EXPECT_EQ(error->kind, c.kind) << c.text << ": " << result.error();
        EXPECT_EQ(error->path, c.path) << c.text << ": " << result.error();
    }
}

TEST(UnlockRequest, CountsThePasswordInUnicodeScalars) {
    const std::string emoji = "\xF0\x9F\x98\x80";  // U+1F600, four bytes
    const std::string decomposedE = "e\xCC\x81";   // one user-perceived character, two scalars
    auto repeat = [](const std::string& piece, std::size_t count) {
        std::string out;
        for (std::size_t i = 0; i < count; ++i) out += piece;
        return out;
    };
    struct Case {
        std::string password;
        bool acceptable;
    };
    const Case cases[] = {
        {"", false},
        {"a", true},
        {std::string(256, 'a'), true},
        {std::string(257, 'a'), false},
        {repeat(emoji, 256), true},
        {repeat(emoji, 257), false},
        {std::string(254, 'a') + decomposedE, true},
        {std::string(255, 'a') + decomposedE, false},
        {"\xFF", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UnlockRequest::isAcceptable(c.password), c.acceptable) << c.password.size() << " bytes";
        auto text = ControlMessage(UnlockRequest{c.password}).jsonString();
        if (!text) continue;  // not UTF-8
        auto decoded = ControlMessage::decode(*text);
        EXPECT_EQ(decoded.has_value(), c.acceptable) << c.password.size() << " bytes";
        if (!decoded) {
            EXPECT_EQ(describe(decoded.error()), "dataCorrupted at password: password length out of range");
        }
    }
}

TEST(ClipboardImage, DecodesOnlyStrictBase64WithinTheSizeLimit) {
    auto image = [](std::size_t bytes) { return ClipboardImage{base::base64Encode(base::Bytes(bytes, 0x5A))}; };
    const ClipboardImage atLimit = image(ClipboardImage::maxBytes);
    const ClipboardImage overLimit = image(ClipboardImage::maxBytes + 1);
    ASSERT_EQ(atLimit.data.size(), 5'592'408U);
    ASSERT_EQ(overLimit.data.size(), 5'592'408U);

    EXPECT_EQ(atLimit.decodePng(), base::Bytes(ClipboardImage::maxBytes, 0x5A));
    EXPECT_EQ(overLimit.decodePng(), std::nullopt);
    EXPECT_EQ(ClipboardImage{std::string(ClipboardImage::maxBase64Length + 1, 'A')}.decodePng(), std::nullopt);
    EXPECT_EQ(ClipboardImage{"AA=="}.decodePng(), base::Bytes{0});
    EXPECT_EQ(ClipboardImage{"iVBO//8+"}.decodePng(), (base::Bytes{0x89, 0x50, 0x4E, 0xFF, 0xFF, 0x3E}));
    for (std::string_view bad : {"", "AAAA\nAAAA", "AAAA AAAA", "AA=", "AA", "AB==", "AA-_", "===="}) {
        EXPECT_EQ(ClipboardImage{std::string(bad)}.decodePng(), std::nullopt) << bad;
    }
}

TEST(NoticeKind, KeepsKnownAndUnknownKindsByTheirText) {
    const std::pair<NoticeKind, std::string_view> known[] = {
        {NoticeKind::locked, "locked"},       {NoticeKind::unlocked, "unlocked"},
        {NoticeKind::takenOver, "takenOver"}, {NoticeKind::accessibilityNeeded, "accessibilityNeeded"},
        {NoticeKind::viewOnly, "viewOnly"},   {NoticeKind::appLaunchFailed, "appLaunchFailed"},
    };
    std::unordered_set<NoticeKind> kinds;
    for (const auto& [kind, text] : known) {
        EXPECT_EQ(kind.rawValue(), text);
        EXPECT_EQ(kind, NoticeKind(std::string(text)));
        kinds.insert(NoticeKind(std::string(text)));
    }
    EXPECT_EQ(kinds.size(), std::size(known));
    EXPECT_TRUE(kinds.contains(NoticeKind::takenOver));
    EXPECT_NE(NoticeKind("Locked"), NoticeKind::locked);
}

TEST(WireEnums, ReadOnlyTheirExactTexts) {
    EXPECT_EQ(deviceIdiomFromRaw("phone"), DeviceIdiom::phone);
    EXPECT_EQ(deviceIdiomFromRaw("pad"), DeviceIdiom::pad);
    EXPECT_EQ(deviceIdiomFromRaw("Pad"), std::nullopt);
    EXPECT_EQ(deviceIdiomFromRaw("tablet"), std::nullopt);
    EXPECT_EQ(keyPhaseFromRaw("down"), KeyInput::Phase::down);
    EXPECT_EQ(keyPhaseFromRaw("up"), KeyInput::Phase::up);
    EXPECT_EQ(keyPhaseFromRaw(""), std::nullopt);
    EXPECT_EQ(rawValue(DeviceIdiom::pad), "pad");
    EXPECT_EQ(rawValue(KeyInput::Phase::up), "up");
}

}  // namespace
}  // namespace orvanta::protocol
