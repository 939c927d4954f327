// The host's WebSocket against a client nobody here wrote: wsproto frames what it can send, the test
// builds the frames it refuses to, and wsproto's own parser checks every frame the host sends back.
// The host side echoes every message, so both directions are exercised.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "base/Base64.h"
#include "base/Crypto.h"
#include "base/DispatchQueue.h"
#include "host/transport/WebSocket.h"
#include "host/transport/WebSocketTestSupport.h"
#include "support/ManualExecutor.h"

extern char** environ;

namespace orvanta::host {
namespace {

using boost::asio::ip::tcp;
using nlohmann::json;
using testing::encode;
using testing::RawFrame;

constexpr const char* kPython = "/usr/bin/python3";
constexpr int kWaitMillis = 20'000;

std::string peerScript() {
    return std::string(ORVANTA_SOURCE_DIR) + "/tests/host/transport/peers/websocket_peer.py";
}

// A child process with its standard input and output on pipes; killed if still running at the end.
class Child {
public:
    explicit Child(const std::vector<std::string>& args) {
        int in[2];
        int out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<char*> argv;
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        output_ = out[0];
        if (spawned != 0) pid_ = -1;
    }
    ~Child() {
        if (input_ >= 0) ::close(input_);
        ::close(output_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }

    void writeInput(std::string_view text) {
        while (!text.empty()) {
            const ssize_t n = ::write(input_, text.data(), text.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            text.remove_prefix(static_cast<std::size_t>(n));
        }
        ::close(std::exchange(input_, -1));
    }

    // Everything the child writes until it exits; the exit status, or -1 when it did not end in time.
    std::pair<std::string, int> finish() {
        std::string text;
        char buffer[65536];
        while (true) {
            pollfd poller{output_, POLLIN, 0};
            if (::poll(&poller, 1, kWaitMillis) <= 0) return {text, -1};
            const ssize_t n = ::read(output_, buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
        int status = 0;
        ::waitpid(std::exchange(pid_, -1), &status, 0);
        return {text, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
};

std::optional<std::string> peerUnavailable() {
    if (::access(kPython, X_OK) != 0) return std::string(kPython) + " is missing";
    Child probe({kPython, "-c", "import wsproto"});
    if (!probe.started()) return std::string("cannot start ") + kPython;
    probe.writeInput({});
    if (probe.finish().second != 0) return "the Python module wsproto is missing (python3-wsproto)";
    return std::nullopt;
}

bool waitReadable(int fd) {
    pollfd poller{fd, POLLIN, 0};
    return ::poll(&poller, 1, kWaitMillis) > 0;
}

// The least of an HTTP upgrade: read the request head, answer 101 with the accept key. Returns the
// bytes that came after the head.
std::optional<base::Bytes> upgrade(tcp::socket& socket) {
    const int fd = socket.native_handle();
    std::string head;
    std::size_t end;
    while ((end = head.find("\r\n\r\n")) == std::string::npos) {
        char buffer[4096];
        if (!waitReadable(fd)) return std::nullopt;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return std::nullopt;
        head.append(buffer, static_cast<std::size_t>(n));
    }
    const base::Bytes leftover = base::toBytes(std::string_view(head).substr(end + 4));
    head.resize(end + 2);
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    const std::string field = "\r\nsec-websocket-key:";
    const std::size_t at = lower.find(field);
    if (at == std::string::npos) return std::nullopt;
    std::string key = head.substr(at + field.size(), head.find("\r\n", at + 2) - at - field.size());
    key.erase(0, key.find_first_not_of(' '));
    const auto digest = base::sha1(base::asBytes(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"));
    const std::string reply =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
        base::base64Encode(digest) + "\r\n\r\n";
    if (::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(reply.size())) return std::nullopt;
    return leftover;
}

// The peer's script, one step each.
namespace step {
json text(const std::string& data, bool fin = true) { return {{"op", "text"}, {"data", data}, {"fin", fin}}; }
json binary(const base::Bytes& data, bool fin = true) {
    return {{"op", "binary"}, {"hex", base::hexLower(data)}, {"fin", fin}};
}
json ping(std::string_view data) { return {{"op", "ping"}, {"hex", base::hexLower(base::asBytes(data))}}; }
json pong(std::string_view data) { return {{"op", "pong"}, {"hex", base::hexLower(base::asBytes(data))}}; }
json raw(const RawFrame& frame) { return {{"op", "raw"}, {"hex", base::hexLower(encode(frame))}}; }
json close(std::uint16_t code, const std::string& reason = {}) {
    return {{"op", "close"}, {"code", code}, {"reason", reason}};
}
json awaitClose() { return {{"op", "awaitClose"}}; }
json awaitMessages(int count) { return {{"op", "awaitMessages"}, {"count", count}}; }
json withRequest(json first) {
    first["withRequest"] = true;
    return first;
}
}  // namespace step

base::Bytes filled(std::size_t size, std::uint8_t value = 0x5A) { return base::Bytes(size, value); }
base::Bytes bytesOf(std::string_view text) { return base::toBytes(text); }
RawFrame closeWithCode(std::uint16_t code, std::string_view reason = {}) {
    base::Bytes payload{static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code & 0xFF)};
    payload.insert(payload.end(), reason.begin(), reason.end());
    return {8, payload};
}

// What the peer saw, one line per event.
std::string sawText(const std::string& text) { return "text:" + text; }
std::string sawBinary(const base::Bytes& data) { return "binary:" + base::hexLower(data); }
std::string sawPong(std::string_view data) { return "pong:" + base::hexLower(base::asBytes(data)); }
std::string sawClose(std::uint16_t code, const std::string& reason = {}) {
    return "close:" + std::to_string(code) + ":" + reason;
}
const std::string kSawNoCodeClose = sawClose(1005);  // how wsproto reports an empty close frame
const std::string kSawProtocolError = sawClose(1002, "invalid frame");
const std::string kSawTooBig = sawClose(1009, "invalid frame");

std::string describe(const json& event) {
    const std::string type = event.at("type");
    if (type == "text") return "text:" + event.at("data").get<std::string>();
    if (type == "close") return sawClose(event.at("code").get<std::uint16_t>(), event.at("reason").get<std::string>());
    return type + ":" + event.at("hex").get<std::string>();
}

struct ConformanceCase {
    std::string name;
    json steps;
    std::vector<std::string> peerSaw;
    std::optional<std::uint16_t> hostClosed;
    std::int64_t maxMessage = WebSocketParser::kDefaultMaxMessage;
};
void PrintTo(const ConformanceCase& row, std::ostream* out) { *out << row.name; }

class WebSocketConformance : public ::testing::TestWithParam<ConformanceCase> {
protected:
    static void SetUpTestSuite() {
        ::signal(SIGPIPE, SIG_IGN);  // a peer that died early must fail the test, not end the binary
        unavailable_ = peerUnavailable();
    }
    void SetUp() override {
        if (unavailable_) GTEST_SKIP() << "no independent WebSocket client: " << *unavailable_;
    }
    void TearDown() override {
        for (int turn = 0; turn < 100 && owner_.pendingCount() != 0; ++turn) {
            transport_->sync([] {});
            owner_.advance(std::chrono::seconds(10));
            transport_->sync([] {});
        }
    }

    static inline std::optional<std::string> unavailable_;
    std::shared_ptr<base::DispatchQueue> transport_ = std::make_shared<base::DispatchQueue>("zq2.transport");
    testing::ManualExecutor owner_;
    tcp::acceptor acceptor_{transport_->context(), tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)};
};

TEST_P(WebSocketConformance, AgainstAnIndependentClient) {
    const ConformanceCase& c = GetParam();
    Child peer({kPython, peerScript(), std::to_string(acceptor_.local_endpoint().port())});
    ASSERT_TRUE(peer.started());
    peer.writeInput(c.steps.dump());

    ASSERT_TRUE(waitReadable(acceptor_.native_handle())) << "the peer never connected";
    tcp::socket socket(transport_->context());
    acceptor_.accept(socket);
    auto leftover = upgrade(socket);
    ASSERT_TRUE(leftover.has_value()) << "no upgrade request";

    auto connection = WebSocketConnection::create({transport_, std::move(socket)}, std::move(*leftover), owner_,
                                                  owner_.clock(), [](std::string_view) {});
    connection->parser().maxMessage = c.maxMessage;
    std::weak_ptr<WebSocketConnection> weak = connection;
    connection->onText = [weak](std::string text) {
        if (auto self = weak.lock()) self->sendText(text);
    };
    connection->onBinary = [weak](base::Bytes data) {
        if (auto self = weak.lock()) {
            self->send(WebSocketParser::frame(data, WebSocketOpcode::binary), std::numeric_limits<std::int64_t>::max());
        }
    };
    std::vector<std::optional<std::uint16_t>> closed;
    connection->onClosed = [&closed](std::optional<std::uint16_t> code) { closed.push_back(code); };
    connection->start();
    const bool ended = owner_.runUntil([&] { return connection->isClosed(); }, std::chrono::milliseconds(kWaitMillis));

    auto [output, status] = peer.finish();
    ASSERT_TRUE(ended) << "the host never finished; the peer said: " << output;
    ASSERT_EQ(status, 0) << output;
    const json report = json::parse(output);
    EXPECT_TRUE(report.at("error").is_null()) << "the host sent a frame wsproto refuses: " << report.at("error");
    EXPECT_NE(report.at("end"), "timeout") << output;
    std::vector<std::string> saw;
    for (const auto& event : report.at("events")) saw.push_back(describe(event));
    EXPECT_EQ(saw, c.peerSaw);
    EXPECT_EQ(closed, std::vector<std::optional<std::uint16_t>>{c.hostClosed});
}

std::vector<ConformanceCase> framingCases() {
    const base::Bytes all = [] {
        base::Bytes bytes;
        for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
        return bytes;
    }();
    std::vector<ConformanceCase> cases = {
        {"Text",
         {step::text("Hello"), step::awaitMessages(1), step::close(1000)},
         {sawText("Hello"), sawClose(1000)},
         1000},
        {"FirstFrameWithTheUpgradeRequest",
         {step::withRequest(step::text("early")), step::awaitMessages(1), step::close(1000)},
         {sawText("early"), sawClose(1000)},
         1000},
        {"EmptyMessages",
         {step::text(""), step::binary({}), step::awaitMessages(2), step::close(1000)},
         {sawText(""), sawBinary({}), sawClose(1000)},
         1000},
        {"EveryByteValue",
         {step::binary(all), step::awaitMessages(1), step::close(1001)},
         {sawBinary(all), sawClose(1001)},
         1001},
        {"EchoesInOrderBeforeTheClose",
         {step::text("a"), step::binary({1}), step::text("ü"), step::close(1000)},
         {sawText("a"), sawBinary({1}), sawText("ü"), sawClose(1000)},
         1000},
        {"Unmasked", {step::raw({.opcode = 1, .payload = bytesOf("x"), .masked = false})}, {kSawProtocolError}, 1002},
        {"DataAfterTheClose",
         {step::close(1000), step::raw({.opcode = 1, .payload = bytesOf("late")})},
         {sawClose(1000)},
         1000},
    };
    for (std::size_t size : {125, 126, 65535, 65536}) {
        const base::Bytes data = filled(size);
        cases.push_back({"BinaryOf" + std::to_string(size),
                         {step::binary(data), step::awaitMessages(1), step::close(1000)},
                         {sawBinary(data), sawClose(1000)},
                         1000});
    }
    cases.push_back({"FrameOverTheLimit", {step::binary(filled(65537))}, {kSawTooBig}, 1009});
    const base::Bytes large = filled(1 << 20, 0x3C);
    cases.push_back({"LargeMessageOnceTheLimitIsRaised",
                     {step::binary(large), step::awaitMessages(1), step::close(1000)},
                     {sawBinary(large), sawClose(1000)},
                     1000,
                     8'388'608});
    for (std::uint8_t rsv : {0x40, 0x20, 0x10}) {
        cases.push_back(
            {"ReservedBit" + std::to_string(rsv), {step::raw({.opcode = 1, .rsv = rsv})}, {kSawProtocolError}, 1002});
    }
    cases.push_back({"ReservedBitOnPing", {step::raw({.opcode = 9, .rsv = 0x40})}, {kSawProtocolError}, 1002});
    for (std::uint8_t opcode : {3, 4, 5, 6, 7, 11, 12, 13, 14, 15}) {
        cases.push_back(
            {"Opcode" + std::to_string(opcode), {step::raw({.opcode = opcode})}, {kSawProtocolError}, 1002});
    }
    return cases;
}

std::vector<ConformanceCase> controlCases() {
    const std::string payload125(125, 'p');
    return {
        {"PingIsAnswered",
         {step::ping("hello"), step::awaitMessages(1), step::close(1000)},
         {sawPong("hello"), sawClose(1000)},
         1000},
        {"PingOf125Bytes",
         {step::ping(payload125), step::awaitMessages(1), step::close(1000)},
         {sawPong(payload125), sawClose(1000)},
         1000},
        {"PingsAnsweredInOrder",
         {step::ping("1"), step::ping("2"), step::ping("3"), step::awaitMessages(3), step::close(1000)},
         {sawPong("1"), sawPong("2"), sawPong("3"), sawClose(1000)},
         1000},
        {"UnsolicitedPongIsIgnored",
         {step::pong("x"), step::text("after"), step::awaitMessages(1), step::close(1000)},
         {sawText("after"), sawClose(1000)},
         1000},
        {"PingOf126Bytes", {step::raw({.opcode = 9, .payload = filled(126)})}, {kSawProtocolError}, 1002},
        {"PingNotFinal", {step::raw({.opcode = 9, .payload = bytesOf("p"), .fin = false})}, {kSawProtocolError}, 1002},
    };
}

std::vector<ConformanceCase> fragmentationCases() {
    return {
        {"TwoTextFragments",
         {step::text("Hel", false), step::text("lo"), step::awaitMessages(1), step::close(1000)},
         {sawText("Hello"), sawClose(1000)},
         1000},
        {"PingBetweenFragments",
         {step::text("Hel", false), step::ping("p"), step::text("lo"), step::awaitMessages(2), step::close(1000)},
         {sawPong("p"), sawText("Hello"), sawClose(1000)},
         1000},
        {"ThreeBinaryFragments",
         {step::binary({1}, false), step::binary({2}, false), step::binary({3}), step::awaitMessages(1),
          step::close(1000)},
         {sawBinary({1, 2, 3}), sawClose(1000)},
         1000},
        {"EmptyFragments",
         {step::text("", false), step::text("", false), step::text("x"), step::awaitMessages(1), step::close(1000)},
         {sawText("x"), sawClose(1000)},
         1000},
        {"ContinuationWithoutMessage", {step::raw({.opcode = 0, .payload = bytesOf("x")})}, {kSawProtocolError}, 1002},
        {"NewMessageInsideAFragmentedOne",
         {step::text("a", false), step::raw({.opcode = 1, .payload = bytesOf("b")})},
         {kSawProtocolError},
         1002},
        {"FragmentsOverTheLimit",
         {step::binary(filled(40'000), false), step::binary(filled(40'000))},
         {kSawTooBig},
         1009},
        {"CloseInsideAFragmentedMessage", {step::text("a", false), step::close(1000)}, {sawClose(1000)}, 1000},
    };
}

std::vector<ConformanceCase> utf8Cases() {
    auto rawText = [](std::string_view text, bool fin, std::uint8_t opcode = 1) {
        return step::raw({.opcode = opcode, .payload = bytesOf(text), .fin = fin});
    };
    std::vector<ConformanceCase> cases;
    const std::string text = "κ😀";  // CE BA F0 9F 98 80
    for (std::size_t cut = 1; cut < text.size(); ++cut) {
        cases.push_back({"ValidTextCutAt" + std::to_string(cut),
                         {rawText(text.substr(0, cut), false), rawText(text.substr(cut), true, 0),
                          step::awaitMessages(1), step::close(1000)},
                         {sawText(text), sawClose(1000)},
                         1000});
    }
    // The first fragment already cannot be valid: the host closes before the rest is sent.
    cases.push_back({"InvalidFirstFragmentFailsAtOnce",
                     {rawText("\xCE\xBA\xFF", false), step::awaitClose(), rawText("abc", true, 0)},
                     {kSawProtocolError},
                     1002});
    const std::vector<std::pair<std::string, std::string>> invalid = {
        {"Truncated", "ab\xE2\x82"},          {"Surrogate", "\xED\xA0\x80"}, {"Overlong", "\xC0\xAF"},
        {"AboveUnicode", "\xF4\x90\x80\x80"}, {"LoneContinuation", "\x80"},
    };
    for (const auto& [name, bytes] : invalid) {
        cases.push_back({"Invalid" + name, {rawText(bytes, true)}, {kSawProtocolError}, 1002});
    }
    cases.push_back({"InvalidAcrossFragments",
                     {rawText("\xF0\x9F", false), rawText("\x28\x80", true, 0)},
                     {kSawProtocolError},
                     1002});
    return cases;
}

std::vector<ConformanceCase> closeCases() {
    std::vector<ConformanceCase> cases = {
        {"CloseWithReasonIsAnsweredWithCodeOnly", {step::close(1000, "bye")}, {sawClose(1000)}, 1000},
        {"EmptyClose", {step::raw({.opcode = 8})}, {kSawNoCodeClose}, std::nullopt},
        {"OneByteClose", {step::raw({.opcode = 8, .payload = {0x03}})}, {kSawNoCodeClose}, std::nullopt},
        {"CloseReasonWithInvalidUtf8", {step::raw(closeWithCode(1000, "\xFF"))}, {sawClose(1000)}, 1000},
        {"CloseWithLongestReason", {step::raw(closeWithCode(4000, std::string(123, 'r')))}, {sawClose(4000)}, 4000},
        {"ClosePayloadOf126Bytes", {step::raw(closeWithCode(1000, std::string(124, 'r')))}, {kSawProtocolError}, 1002},
    };
    for (std::uint16_t code : {1000, 1001, 1002, 1003, 1007, 1008, 1009, 1010, 1011, 3000, 3999, 4000, 4999}) {
        cases.push_back({"ValidCode" + std::to_string(code), {step::raw(closeWithCode(code))}, {sawClose(code)}, code});
    }
    for (std::uint16_t code : {0, 999, 1004, 1005, 1006, 1015, 1016, 2999, 5000, 65535}) {
        cases.push_back(
            {"InvalidCode" + std::to_string(code), {step::raw(closeWithCode(code))}, {kSawProtocolError}, 1002});
    }
    return cases;
}

auto caseName = [](const auto& row) { return row.param.name; };
INSTANTIATE_TEST_SUITE_P(Framing, WebSocketConformance, ::testing::ValuesIn(framingCases()), caseName);
INSTANTIATE_TEST_SUITE_P(Control, WebSocketConformance, ::testing::ValuesIn(controlCases()), caseName);
INSTANTIATE_TEST_SUITE_P(Fragmentation, WebSocketConformance, ::testing::ValuesIn(fragmentationCases()), caseName);
INSTANTIATE_TEST_SUITE_P(Utf8, WebSocketConformance, ::testing::ValuesIn(utf8Cases()), caseName);
INSTANTIATE_TEST_SUITE_P(Close, WebSocketConformance, ::testing::ValuesIn(closeCases()), caseName);

}  // namespace
}  // namespace orvanta::host
