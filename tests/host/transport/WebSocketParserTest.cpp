#include <gtest/gtest.h>

#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "host/transport/WebSocket.h"
#include "host/transport/WebSocketTestSupport.h"

namespace orvanta::host {

void PrintTo(const WebSocketError& error, std::ostream* out) {
    *out << "{violation " << static_cast<int>(error.violation) << ", datum " << error.datum << "}";
}

namespace {

using testing::binaryFrame;
using testing::bytesOf;
using testing::closeFrame;
using testing::continuationFrame;
using testing::encode;
using testing::join;
using testing::pingFrame;
using testing::RawFrame;
using testing::textFrame;
using V = WebSocketError::Violation;

constexpr std::uint64_t kTwoTo63 = std::uint64_t{1} << 63;
constexpr std::int64_t kLargestLimit = std::numeric_limits<std::int64_t>::max();

std::string describe(const WebSocketParser::Event& event) {
    struct Describe {
        std::string operator()(const WebSocketParser::Text& e) const { return "text:" + e.text; }
        std::string operator()(const WebSocketParser::Binary& e) const { return "binary:" + base::hexLower(e.data); }
        std::string operator()(const WebSocketParser::Ping& e) const { return "ping:" + base::hexLower(e.data); }
        std::string operator()(const WebSocketParser::Pong& e) const { return "pong:" + base::hexLower(e.data); }
        std::string operator()(const WebSocketParser::Close& e) const {
            if (!e.status) return "close";
            return "close:" + std::to_string(e.status->code) + ":" + e.status->reason;
        }
    };
    return std::visit(Describe{}, event);
}

// Feeds `bytes` in pieces of `chunk` bytes and collects every event, or the first error.
std::expected<std::vector<std::string>, WebSocketError> feed(WebSocketParser& parser, base::ByteView bytes,
                                                             std::size_t chunk) {
    std::vector<std::string> seen;
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        auto events = parser.append(bytes.subspan(at, std::min(chunk, bytes.size() - at)));
        if (!events) return std::unexpected(events.error());
        for (const auto& event : *events) seen.push_back(describe(event));
    }
    return seen;
}

// Whole and byte by byte: where the reads happen to split the stream must never matter.
std::expected<std::vector<std::string>, WebSocketError> feedBothWays(const base::Bytes& bytes,
                                                                     std::int64_t maxMessage) {
    WebSocketParser whole(maxMessage);
    WebSocketParser bytewise(maxMessage);
    auto all = feed(whole, bytes, std::max<std::size_t>(bytes.size(), 1));
    auto single = feed(bytewise, bytes, 1);
    EXPECT_EQ(all, single) << "splitting the input changed the outcome";
    return all;
}

base::Bytes filled(std::size_t size, std::uint8_t value = 0xA5) { return base::Bytes(size, value); }

struct AcceptCase {
    std::string name;
    base::Bytes bytes;
    std::vector<std::string> events;
};
void PrintTo(const AcceptCase& row, std::ostream* out) { *out << row.name; }

class WebSocketParserAccepts : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(WebSocketParserAccepts, DeliversEventsInArrivalOrder) {
    auto events = feedBothWays(GetParam().bytes, WebSocketParser::kDefaultMaxMessage);
    ASSERT_TRUE(events.has_value()) << ::testing::PrintToString(events.error());
    EXPECT_EQ(*events, GetParam().events);
}

std::vector<AcceptCase> acceptCases() {
    std::vector<AcceptCase> cases = {
        {"Text", textFrame("Hello"), {"text:Hello"}},
        {"EmptyText", textFrame(""), {"text:"}},
        {"EmptyBinary", binaryFrame({}), {"binary:"}},
        {"Binary", binaryFrame({0x00, 0x7F, 0x80, 0xFF}), {"binary:007f80ff"}},
        {"SixteenBitFormOfASmallLength",
         encode({.opcode = 1, .payload = bytesOf("abc"), .lengthBytes = 2}),
         {"text:abc"}},
        {"SixtyFourBitFormOfASmallLength", encode({.opcode = 2, .payload = {1, 2}, .lengthBytes = 8}), {"binary:0102"}},
        {"PingWithData", pingFrame("abc"), {"ping:616263"}},
        {"Pong", encode({.opcode = 10, .payload = bytesOf("z")}), {"pong:7a"}},
        {"PingOf125Bytes",
         encode({.opcode = 9, .payload = filled(125, 0x11)}),
         {"ping:" + base::hexLower(filled(125, 0x11))}},
        {"CloseWithoutPayload", closeFrame(std::nullopt), {"close"}},
        {"CloseWithOneByte", encode({.opcode = 8, .payload = {0x03}}), {"close"}},
        {"CloseWithCodeAndReason", closeFrame(1000, "bye"), {"close:1000:bye"}},
        {"CloseReasonWithInvalidUtf8",
         closeFrame(4003,
                    "a\xFF"
                    "b"),
         {"close:4003:a\xEF\xBF\xBD"
          "b"}},
        {"FragmentedText",
         join({textFrame("He", false), continuationFrame("l", false), continuationFrame("lo")}),
         {"text:Hello"}},
        {"PingBetweenFragments",
         join({binaryFrame({1}, false), pingFrame("p"), continuationFrame("\x02")}),
         {"ping:70", "binary:0102"}},
        {"CloseBetweenFragments", join({textFrame("a", false), closeFrame(1001)}), {"close:1001:"}},
        {"SeveralFramesInOneRead",
         join({textFrame("one"), pingFrame(""), binaryFrame({9}), textFrame("two")}),
         {"text:one", "ping:", "binary:09", "text:two"}},
        {"MessagesAfterAFragmentedOne",
         join({textFrame("a", false), continuationFrame("b"), textFrame("c")}),
         {"text:ab", "text:c"}},
    };
    for (std::uint16_t code : {1000, 1001, 1003, 1007, 1011, 1012, 1014, 3000, 4999}) {
        cases.push_back(
            {"CloseCode" + std::to_string(code), closeFrame(code), {"close:" + std::to_string(code) + ":"}});
    }
    // Every place a character can be cut across two fragments.
    const std::string text = "\xCE\xBA\xE1\xBD\xB9\xF0\x9F\x98\x80";
    for (std::size_t cut = 1; cut < text.size(); ++cut) {
        cases.push_back({"Utf8CutAt" + std::to_string(cut),
                         join({textFrame(text.substr(0, cut), false), continuationFrame(text.substr(cut))}),
                         {"text:" + text}});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Rules, WebSocketParserAccepts, ::testing::ValuesIn(acceptCases()),
                         [](const auto& row) { return row.param.name; });

struct RefuseCase {
    std::string name;
    base::Bytes bytes;
    WebSocketError error;
    std::int64_t maxMessage = WebSocketParser::kDefaultMaxMessage;
};
void PrintTo(const RefuseCase& row, std::ostream* out) { *out << row.name; }

class WebSocketParserRefuses : public ::testing::TestWithParam<RefuseCase> {};

TEST_P(WebSocketParserRefuses, ReportsTheViolationAndItsDatum) {
    auto events = feedBothWays(GetParam().bytes, GetParam().maxMessage);
    ASSERT_FALSE(events.has_value());
    EXPECT_EQ(events.error(), GetParam().error);
}

base::Bytes headerOnly(std::uint8_t opcode, std::uint64_t declared, bool fin = true) {
    return encode({.opcode = opcode, .fin = fin, .declaredLength = declared});
}

std::vector<RefuseCase> refuseCases() {
    std::vector<RefuseCase> cases = {
        {"Unmasked", encode({.opcode = 1, .payload = bytesOf("hi"), .masked = false}), {V::unmaskedFrame, 0x02}},
        {"Rsv1", encode({.opcode = 1, .rsv = 0x40}), {V::reservedBits, 0xC1}},
        {"Rsv2", encode({.opcode = 2, .rsv = 0x20}), {V::reservedBits, 0xA2}},
        {"Rsv3OnPing", encode({.opcode = 9, .rsv = 0x10}), {V::reservedBits, 0x99}},
        {"PingNotFinal", encode({.opcode = 9, .fin = false}), {V::fragmentedControl, 9}},
        {"CloseNotFinal", encode({.opcode = 8, .fin = false}), {V::fragmentedControl, 8}},
        {"PingOf126Bytes", encode({.opcode = 9, .payload = filled(126)}), {V::oversizedControl, 126}},
        {"CloseOf126Bytes", encode({.opcode = 8, .payload = filled(126)}), {V::oversizedControl, 126}},
        {"ContinuationWithoutMessage", continuationFrame("x"), {V::unexpectedContinuation, 0}},
        {"TextInsideUnfinishedMessage", join({textFrame("a", false), textFrame("b")}), {V::unfinishedMessage, 1}},
        {"BinaryInsideUnfinishedMessage", join({textFrame("a", false), binaryFrame({})}), {V::unfinishedMessage, 2}},
        {"InvalidByteInText",
         textFrame("ab\xFF"
                   "c"),
         {V::invalidUtf8, 2}},
        {"OverlongText", textFrame("\xC0\xAF"), {V::invalidUtf8, 0}},
        {"SurrogateInText", textFrame("x\xED\xA0\x80"), {V::invalidUtf8, 2}},
        {"AboveUnicodeInText", textFrame("\xF4\x90\x80\x80"), {V::invalidUtf8, 1}},
        {"TextEndingInsideACharacter", textFrame("ab\xE2\x82"), {V::invalidUtf8, 4}},
        {"InvalidByteInLaterFragment", join({textFrame("ok", false), continuationFrame("\x80")}), {V::invalidUtf8, 2}},
        {"FrameOverMaxMessage", headerOnly(2, 65537), {V::frameLimit, 65537}},
        // The size is checked before the opcode, so the cheaper answer wins.
        {"OversizedFrameWithUnknownOpcode", headerOnly(3, 70000), {V::frameLimit, 70000}},
        {"SixtyFourBitLengthWithTopBit", headerOnly(2, kTwoTo63), {V::frameLimit, kTwoTo63}},
        {"AllOnesLength", headerOnly(2, ~std::uint64_t{0}), {V::frameLimit, ~std::uint64_t{0}}},
        {"TopBitLengthAtLargestLimit", headerOnly(2, kTwoTo63), {V::frameLimit, kTwoTo63}, kLargestLimit},
        {"FragmentsOverMaxMessage",
         join({binaryFrame(filled(40000), false), headerOnly(0, 40000)}),
         {V::messageLimit, 80000}},
        // The sum of both lengths would pass 2^63 - 1 without wrapping a 64-bit integer.
        {"FragmentsPastLargestLimit",
         join({binaryFrame(filled(10), false), headerOnly(0, static_cast<std::uint64_t>(kLargestLimit) - 9)}),
         {V::messageLimit, kTwoTo63},
         kLargestLimit},
        {"NonEmptyFrameWithNegativeLimit", textFrame("a"), {V::frameLimit, 1}, -1},
    };
    for (std::uint8_t opcode : {3, 4, 5, 6, 7, 11, 12, 13, 14, 15}) {
        cases.push_back({"Opcode" + std::to_string(opcode), encode({.opcode = opcode}), {V::unknownOpcode, opcode}});
    }
    for (std::uint16_t code : {0, 999, 1004, 1005, 1006, 1015, 1016, 2999, 5000, 65535}) {
        cases.push_back({"CloseCode" + std::to_string(code), closeFrame(code), {V::invalidCloseCode, code}});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Rules, WebSocketParserRefuses, ::testing::ValuesIn(refuseCases()),
                         [](const auto& row) { return row.param.name; });

TEST(WebSocketParser, KeepsAPartialFrameUntilTheRestArrives) {
    WebSocketParser parser;
    const base::Bytes frame = binaryFrame(filled(300));  // 16-bit length form
    auto first = parser.append(base::ByteView(frame).first(1));
    ASSERT_TRUE(first && first->empty());
    auto second = parser.append(base::ByteView(frame).subspan(1, 3));  // cut right after the length
    ASSERT_TRUE(second && second->empty());
    auto rest = parser.append(base::ByteView(frame).subspan(4));
    ASSERT_TRUE(rest && rest->size() == 1);
    EXPECT_EQ(std::get<WebSocketParser::Binary>(rest->front()).data, filled(300));
}

TEST(WebSocketParser, DeliversAMessageOfExactlyTheLimit) {
    WebSocketParser parser;
    auto events = parser.append(binaryFrame(filled(65536)));
    ASSERT_TRUE(events && events->size() == 1);
    EXPECT_EQ(std::get<WebSocketParser::Binary>(events->front()).data.size(), 65536u);

    auto fragments =
        parser.append(join({binaryFrame(filled(40000), false), continuationFrame(std::string(25536, 'x'))}));
    ASSERT_TRUE(fragments && fragments->size() == 1);
    EXPECT_EQ(std::get<WebSocketParser::Binary>(fragments->front()).data.size(), 65536u);
}

TEST(WebSocketParser, AcceptsALargerFrameOnceTheLimitIsRaised) {
    WebSocketParser parser;
    ASSERT_TRUE(parser.append(textFrame("hello")));
    parser.maxMessage = 8'388'608;
    auto events = parser.append(binaryFrame(filled(100'000)));
    ASSERT_TRUE(events && events->size() == 1);
}

TEST(WebSocketParser, WaitsForTheLargestDeclarableFrameAtTheLargestLimit) {
    WebSocketParser parser(kLargestLimit);
    auto events = parser.append(join({headerOnly(2, static_cast<std::uint64_t>(kLargestLimit)), filled(1000)}));
    ASSERT_TRUE(events.has_value());
    EXPECT_TRUE(events->empty());
}

// One append may hold maxMessage + 65536 bytes beyond a partial header; past that it is refused
// before any byte is parsed.
TEST(WebSocketParser, BoundsTheBytesOfOneAppend) {
    constexpr std::size_t kBound = 65536 + 65536;
    const base::Bytes stream = join({binaryFrame(filled(65536)), binaryFrame(filled(65536))});  // 2 x 65550 bytes
    {
        WebSocketParser parser;
        auto events = parser.append(base::ByteView(stream).first(kBound));
        ASSERT_TRUE(events.has_value());
        EXPECT_EQ(events->size(), 1u);
    }
    {
        WebSocketParser parser;
        auto events = parser.append(base::ByteView(stream).first(kBound + 1));
        ASSERT_FALSE(events.has_value());
        EXPECT_EQ(events.error(), (WebSocketError{V::bufferLimit, kBound + 1}));
    }
    {
        WebSocketParser parser;  // a held header byte counts
        ASSERT_TRUE(parser.append(base::ByteView(stream).first(1)));
        EXPECT_TRUE(parser.append(base::ByteView(stream).subspan(1, kBound - 1)));
    }
    {
        WebSocketParser parser;
        ASSERT_TRUE(parser.append(base::ByteView(stream).first(1)));
        auto events = parser.append(base::ByteView(stream).subspan(1, kBound));
        ASSERT_FALSE(events.has_value());
        EXPECT_EQ(events.error(), (WebSocketError{V::bufferLimit, kBound + 1}));
    }
}

// A frame's payload is bounded by maxMessage when its header arrives, so a client sending
// back-to-back frames of the largest size is never refused, wherever its 64 KB reads cut them. The
// worst cut leaves one byte of a frame missing just before a full read.
TEST(WebSocketParser, DeliversBackToBackLargestFramesWhateverTheReadBoundaries) {
    constexpr std::size_t kRead = 65536;
    constexpr std::size_t kFrameBytes = 65536 + 14;
    base::Bytes stream;
    for (int i = 0; i < 4; ++i) stream = join({stream, binaryFrame(filled(65536, static_cast<std::uint8_t>(i)))});
    WebSocketParser parser;
    std::size_t delivered = 0;
    std::size_t at = 0;
    for (std::size_t size : {kRead, kFrameBytes - 1 - kRead}) {
        ASSERT_TRUE(parser.append(base::ByteView(stream).subspan(at, size)));
        at += size;
    }
    for (; at < stream.size(); at += kRead) {
        auto events = parser.append(base::ByteView(stream).subspan(at, std::min(kRead, stream.size() - at)));
        ASSERT_TRUE(events.has_value()) << "at " << at << ": " << ::testing::PrintToString(events.error());
        delivered += events->size();
    }
    EXPECT_EQ(delivered, 4u);
}

TEST(WebSocketParser, RefusesInvalidTextBeforeTheMessageEnds) {
    {
        WebSocketParser parser;  // a first fragment that no continuation could repair
        auto events = parser.append(textFrame("ok\xFF", false));
        ASSERT_FALSE(events.has_value());
        EXPECT_EQ(events.error(), (WebSocketError{V::invalidUtf8, 2}));
    }
    {
        WebSocketParser parser;  // inside a frame whose payload is still arriving
        const base::Bytes frame = textFrame(std::string("abc\xC0") + std::string(200, 'x'));
        auto events = parser.append(base::ByteView(frame).first(12));
        ASSERT_FALSE(events.has_value());
        EXPECT_EQ(events.error(), (WebSocketError{V::invalidUtf8, 3}));
    }
}

TEST(WebSocketParser, DropsTheEventsOfAFailingAppendAndRepeatsItsError) {
    WebSocketParser parser;
    auto events = parser.append(join({textFrame("fine"), encode({.opcode = 3})}));
    ASSERT_FALSE(events.has_value());
    const WebSocketError error{V::unknownOpcode, 3};
    EXPECT_EQ(events.error(), error);
    auto later = parser.append(textFrame("also fine"));
    ASSERT_FALSE(later.has_value());
    EXPECT_EQ(later.error(), error);
}

TEST(WebSocketParser, ClassifiesSizeViolationsAsTooLarge) {
    for (V violation : {V::bufferLimit, V::frameLimit, V::messageLimit}) {
        EXPECT_EQ((WebSocketError{violation, 0}.kind()), WebSocketError::Kind::tooLarge);
    }
    for (V violation : {V::reservedBits, V::unmaskedFrame, V::unknownOpcode, V::fragmentedControl, V::oversizedControl,
                        V::unexpectedContinuation, V::unfinishedMessage, V::invalidUtf8, V::invalidCloseCode}) {
        EXPECT_EQ((WebSocketError{violation, 0}.kind()), WebSocketError::Kind::invalid);
    }
}

TEST(WebSocketFramer, UsesTheShortestLengthForm) {
    struct Case {
        std::size_t size;
        std::size_t header;
    };
    for (auto [size, header] : {Case{0, 2}, Case{125, 2}, Case{126, 4}, Case{65535, 4}, Case{65536, 10}}) {
        const base::Bytes payload = filled(size, 0x5C);
        base::Bytes frame = WebSocketParser::frame(payload, WebSocketOpcode::binary);
        ASSERT_EQ(frame.size(), size + header) << size;
        EXPECT_EQ(frame.front(), 0x82);
        auto parsed = testing::takeServerFrame(frame);
        ASSERT_TRUE(parsed.has_value()) << size;
        EXPECT_FALSE(parsed->masked);
        EXPECT_EQ(parsed->payload, payload);
        EXPECT_TRUE(frame.empty());
    }
    EXPECT_EQ(WebSocketParser::frame(bytesOf("hi"), WebSocketOpcode::text), (base::Bytes{0x81, 0x02, 'h', 'i'}));
    EXPECT_EQ(WebSocketParser::frame({}, WebSocketOpcode::pong), (base::Bytes{0x8A, 0x00}));
}

}  // namespace
}  // namespace orvanta::host
