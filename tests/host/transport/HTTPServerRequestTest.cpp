// The pure half of the HTTP server: head parsing, Content-Length, the chunked request reader, the
// upgrade check and the LAN peer rule, as tables without sockets.
#include <gtest/gtest.h>

#include "host/transport/HTTPServer.h"

namespace orvanta::host {
namespace {

using Headers = std::map<std::string, std::string>;

HTTPRequest req(std::string method, std::string path, Headers headers = {}) {
    HTTPRequest request;
    request.method = std::move(method);
    request.path = std::move(path);
    request.headers = std::move(headers);
    return request;
}

struct HeadCase {
    std::string name;
    std::string head;
    std::optional<HTTPRequest> expected;  // nothing: malformed
};

TEST(HTTPRequestHead, ParsesAsTheServerReadsIt) {
    const std::vector<HeadCase> cases = {
        {"plain", "GET /v2/capabilities HTTP/1.1\r\nHost: x", req("GET", "/v2/capabilities", {{"host", "x"}})},
        {"query dropped at the first question mark", "GET /v2/pair?a=1?b HTTP/1.1", req("GET", "/v2/pair", {})},
        {"doubled blanks between tokens", "GET  /x   HTTP/1.0", req("GET", "/x", {})},
        {"method keeps its case", "get /v2/control HTTP/1.1", req("get", "/v2/control", {})},
        {"names lower-cased, values trimmed of blanks and tabs", "GET / HTTP/1.1\r\nX-Thing: \t a b \t",
         req("GET", "/", {{"x-thing", "a b"}})},
        {"ideographic space trimmed too", "GET / HTTP/1.1\r\nA:\u3000v\u3000", req("GET", "/", {{"a", "v"}})},
        {"blank before the colon stays in the name", "GET / HTTP/1.1\r\nOrigin : x",
         req("GET", "/", {{"origin ", "x"}})},
        {"value keeps later colons", "GET / HTTP/1.1\r\nHost: a:80", req("GET", "/", {{"host", "a:80"}})},
        {"line without a colon ignored", "GET / HTTP/1.1\r\njunk\r\nA: 1", req("GET", "/", {{"a", "1"}})},
        {"later duplicate wins", "GET / HTTP/1.1\r\nA: 1\r\na: 2", req("GET", "/", {{"a", "2"}})},
        {"empty value", "GET / HTTP/1.1\r\nA:", req("GET", "/", {{"a", ""}})},
        {"lone line feed stays inside a line", "GET / HTTP/1.1\r\nA: 1\nB: 2", req("GET", "/", {{"a", "1\nB: 2"}})},
        {"invalid UTF-8 reads as U+FFFD", "GET /\xff HTTP/1.1\r\nA: \xc3", req("GET", "/\uFFFD", {{"a", "\uFFFD"}})},
        {"version 2", "GET / HTTP/2.0", std::nullopt},
        {"four tokens", "GET / x HTTP/1.1", std::nullopt},
        {"two tokens", "GET /", std::nullopt},
        {"version in lower case", "GET / http/1.1", std::nullopt},
        {"tab is not a separator", "GET\t/ HTTP/1.1", std::nullopt},
        {"empty head", "", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto parsed = parseRequestHead(c.head, false);
        if (!c.expected) {
            ASSERT_FALSE(parsed);
            EXPECT_EQ(parsed.error().line, c.head.substr(0, c.head.find("\r\n")));
            continue;
        }
        ASSERT_TRUE(parsed) << parsed.error().line;
        EXPECT_EQ(*parsed, *c.expected);
    }
}

TEST(HTTPRequestHead, RecordsTheListener) {
    EXPECT_TRUE(parseRequestHead("GET / HTTP/1.1", true)->isLAN);
    EXPECT_FALSE(parseRequestHead("GET / HTTP/1.1", false)->isLAN);
}

TEST(HTTPRequestHead, ReadsContentLength) {
    const std::vector<std::pair<std::optional<std::string>, std::optional<std::size_t>>> cases = {
        {std::nullopt, 0},
        {"0", 0},
        {"4096", 4096},
        {"+4096", 4096},
        {"0004096", 4096},
        {"-0", 0},
        {"4097", std::nullopt},
        {"-1", std::nullopt},
        {"abc", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"1 2", std::nullopt},
        {"12a", std::nullopt},
        {"0x10", std::nullopt},
        {"99999999999999999999999999", std::nullopt},
        {"-99999999999999999999999999", std::nullopt},
    };
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value.value_or("(absent)"));
        HTTPRequest request = req("POST", "/v2/pair");
        if (value) request.headers["content-length"] = *value;
        auto length = declaredContentLength(request);
        if (expected) {
            ASSERT_TRUE(length);
            EXPECT_EQ(*length, *expected);
        } else {
            ASSERT_FALSE(length);
            EXPECT_EQ(length.error().value, *value);
        }
    }
}

// Feeds `stream` to a fresh reader in chunks of `chunk` bytes until it answers.
HTTPRequestReader::Result readInChunks(std::string_view stream, std::size_t chunk, bool isLAN = false) {
    HTTPRequestReader reader(isLAN);
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        auto result = reader.feed(base::asBytes(stream.substr(at, chunk)));
        if (!result || *result) return result;
    }
    return std::nullopt;
}

std::string headOfSize(std::size_t bytes) {
    std::string head = "GET /x HTTP/1.1\r\nX: ";
    head.append(bytes - head.size(), 'a');
    return head;
}

TEST(HTTPRequestReader, AnswersTheSameWhateverTheChunking) {
    const std::string stream = "GET /v2/control HTTP/1.1\r\nUpgrade: websocket\r\n\r\n\x81\x85leftover";
    for (std::size_t chunk : {1, 2, 3, 4, 7, 64, 8192}) {
        SCOPED_TRACE(chunk);
        auto result = readInChunks(stream, chunk);
        ASSERT_TRUE(result);
        ASSERT_TRUE(*result);
        EXPECT_EQ((*result)->request, (req("GET", "/v2/control", {{"upgrade", "websocket"}})));
        // The leftover is whatever followed the head in the chunk that completed it.
        const std::size_t headEnd = stream.find("\r\n\r\n") + 4;
        const std::size_t readUpTo = std::min(stream.size(), (headEnd + chunk - 1) / chunk * chunk);
        EXPECT_EQ(base::asText((*result)->leftover), stream.substr(headEnd, readUpTo - headEnd));
    }
}

TEST(HTTPRequestReader, WaitsForTheWholePostBodyAndDropsWhatFollows) {
    const std::string body(4096, 'b');
    const std::string stream = "POST /v2/pair HTTP/1.1\r\nContent-Length: 4096\r\n\r\n" + body + "extra";
    HTTPRequestReader reader(false);
    const std::size_t headEnd = stream.find("\r\n\r\n") + 4;
    EXPECT_EQ(reader.feed(base::asBytes(stream.substr(0, headEnd + 100))), std::nullopt);
    EXPECT_EQ(reader.feed(base::asBytes(stream.substr(headEnd + 100, 3995))), std::nullopt);
    auto result = reader.feed(base::asBytes(stream.substr(headEnd + 4095)));
    ASSERT_TRUE(result && *result);
    EXPECT_EQ((*result)->request.body, base::toBytes(body));
    EXPECT_TRUE((*result)->leftover.empty());
}

TEST(HTTPRequestReader, BodyOnlyForPost) {
    auto result = readInChunks("PUT /v2/pair HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", 8192);
    ASSERT_TRUE(result && *result);
    EXPECT_TRUE((*result)->request.body.empty());
    EXPECT_EQ(base::asText((*result)->leftover), "abc");
}

TEST(HTTPRequestReader, EnforcesItsLimitsAtTheBound) {
    struct Case {
        std::string name;
        std::string stream;
        HTTPRequestReader::Result expected;
    };
    const std::string head16384 = headOfSize(16384);
    const std::string head16385 = headOfSize(16385);
    const std::vector<Case> cases = {
        {"head of 16384 bytes", head16384 + "\r\n\r\n",
         ReceivedRequest{req("GET", "/x", {{"x", head16384.substr(20)}}), {}}},
        {"head of 16385 bytes", head16385 + "\r\n\r\n", std::unexpected(RequestHeadTooLarge{16385})},
        {"20480 bytes without a head end", std::string(20480, 'a'), std::nullopt},
        {"20481 bytes without a head end", std::string(20481, 'a'), std::unexpected(RequestTooLarge{20481})},
        {"declared body of 4097", "GET / HTTP/1.1\r\nContent-Length: 4097\r\n\r\n",
         std::unexpected(BadContentLength{"4097"})},
        {"bad request line", "GET / HTTP/2.0\r\n\r\n", std::unexpected(MalformedRequestLine{"GET / HTTP/2.0"})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(readInChunks(c.stream, 8192), c.expected);
    }
}

TEST(HTTPRequestReader, CountsEverythingReceivedAgainstTheLimit) {
    // A complete request followed by enough bytes to pass 20480 in the same read is dropped.
    const std::string stream = "GET /x HTTP/1.1\r\n\r\n" + std::string(20480, 'z');
    EXPECT_EQ(readInChunks(stream, stream.size()),
              HTTPRequestReader::Result(std::unexpected(RequestTooLarge{stream.size()})));
    // A POST whose head and body cannot both fit is dropped while its body arrives.
    const std::string post = "POST /v2/pair HTTP/1.1\r\nContent-Length: 4096\r\nX: " + std::string(16333, 'h') +
                             "\r\n\r\n" + std::string(4096, 'b');
    ASSERT_EQ(post.find("\r\n\r\n"), 16382u);
    EXPECT_EQ(readInChunks(post, 1000), HTTPRequestReader::Result(std::unexpected(RequestTooLarge{20482})));
}

TEST(HTTPRequestReader, ReportsAnEarlyEnd) {
    HTTPRequestReader reader(false);
    EXPECT_EQ(reader.feed(base::asBytes("GET / HT")), std::nullopt);
    EXPECT_EQ(reader.end(), HTTPRequestError(RequestEndedEarly{8}));
}

TEST(HTTPRequestReader, ErrorsMapToTheirReplies) {
    EXPECT_EQ(replyStatus(MalformedRequestLine{"x"}), "400 Bad Request");
    EXPECT_EQ(replyStatus(BadContentLength{"-1"}), "413 Payload Too Large");
    EXPECT_EQ(replyStatus(RequestTooLarge{20481}), std::nullopt);
    EXPECT_EQ(replyStatus(RequestHeadTooLarge{16385}), std::nullopt);
    EXPECT_EQ(replyStatus(RequestEndedEarly{0}), std::nullopt);
}

TEST(WebSocketUpgrade, ComputesTheAcceptKeyOfTheProtocolSample) {
    EXPECT_EQ(webSocketAccept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WebSocketUpgrade, ChecksEachHeader) {
    const Headers valid = {{"upgrade", "websocket"},
                           {"connection", "Upgrade"},
                           {"sec-websocket-version", "13"},
                           {"sec-websocket-key", "dGhlIHNhbXBsZSBub25jZQ=="}};
    struct Case {
        std::string name;
        Headers changes;
        std::optional<std::string> refusedHeader;  // nothing: accepted
    };
    const std::vector<Case> cases = {
        {"valid", {}, std::nullopt},
        {"mixed-case upgrade value", {{"upgrade", "WebSocket"}}, std::nullopt},
        {"connection list containing upgrade", {{"connection", "keep-alive, Upgrade"}}, std::nullopt},
        {"other upgrade value", {{"upgrade", "h2c"}}, "upgrade"},
        {"connection without upgrade", {{"connection", "keep-alive"}}, "connection"},
        {"version 8", {{"sec-websocket-version", "8"}}, "sec-websocket-version"},
        {"version with extra text", {{"sec-websocket-version", "13, 8"}}, "sec-websocket-version"},
        {"key of 15 bytes", {{"sec-websocket-key", "AAAAAAAAAAAAAAAAAAAA"}}, "sec-websocket-key"},
        {"key of 17 bytes", {{"sec-websocket-key", "AAAAAAAAAAAAAAAAAAAAAAA="}}, "sec-websocket-key"},
        {"key not strict Base64", {{"sec-websocket-key", "dGhlIHNhbXBsZSBub25jZQ"}}, "sec-websocket-key"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HTTPRequest request = req("GET", "/v2/control", valid);
        for (const auto& [name, value] : c.changes) request.headers[name] = value;
        auto accept = checkWebSocketUpgrade(request);
        if (!c.refusedHeader) {
            EXPECT_EQ(accept, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
        } else {
            ASSERT_FALSE(accept);
            EXPECT_EQ(accept.error(), (UpgradeRefused{*c.refusedHeader, request.headers[*c.refusedHeader]}));
        }
    }
    for (const auto& missing : {"upgrade", "connection", "sec-websocket-version", "sec-websocket-key"}) {
        SCOPED_TRACE(missing);
        HTTPRequest request = req("GET", "/v2/control", valid);
        request.headers.erase(missing);
        EXPECT_EQ(checkWebSocketUpgrade(request), std::unexpected(UpgradeRefused{missing, ""}));
    }
}

TEST(LocalNetworkPeer, AdmitsLoopbackLinkLocalAndInterfaceSubnetsOnly) {
    using boost::asio::ip::make_address;
    const std::vector<InterfaceNetwork> networks = {
        {make_address("192.168.1.20"), make_address("255.255.255.0")},
        {make_address("10.1.0.5"), make_address("255.255.0.0")},
        {make_address("2001:db8:1::20"), make_address("ffff:ffff:ffff:ffff::")},
    };
    const std::vector<std::pair<std::string, bool>> cases = {
        {"127.0.0.1", true},
        {"127.8.9.10", true},
        {"::1", true},
        {"169.254.3.4", true},
        {"fe80::1", true},
        {"192.168.1.200", true},
        {"::ffff:192.168.1.200", true},
        {"10.1.255.255", true},
        {"2001:db8:1::99", true},
        {"192.168.2.1", false},
        {"::ffff:192.168.2.1", false},
        {"10.2.0.1", false},
        {"8.8.8.8", false},
        {"2001:db8:2::1", false},
        {"::ffff:169.254.0.1", true},
    };
    for (const auto& [peer, local] : cases) {
        SCOPED_TRACE(peer);
        EXPECT_EQ(isLocalNetworkPeer(make_address(peer), networks), local);
    }
    EXPECT_FALSE(isLocalNetworkPeer(make_address("192.168.1.200"), {}));
}

TEST(LocalNetworkPeer, ReadsThisMachinesInterfaces) {
    const auto networks = localInterfaceNetworks();
    const bool hasLoopback = std::ranges::any_of(
        networks, [](const InterfaceNetwork& n) { return n.address == boost::asio::ip::make_address("127.0.0.1"); });
    EXPECT_TRUE(hasLoopback);
}

}  // namespace
}  // namespace orvanta::host
