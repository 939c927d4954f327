#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/DispatchQueue.h"
#include "host/transport/WebSocket.h"
#include "host/transport/WebSocketTestSupport.h"
#include "support/ManualExecutor.h"

namespace orvanta::host {
namespace {

using boost::asio::ip::tcp;
using testing::binaryFrame;
using testing::bytesOf;
using testing::closeFrame;
using testing::join;
using testing::pingFrame;
using testing::RawClient;
using testing::ServerFrame;
using testing::textFrame;

constexpr std::uint8_t kClose = 0x88;
constexpr std::uint8_t kPong = 0x8A;
constexpr std::uint8_t kBinary = 0x82;
constexpr std::uint8_t kText = 0x81;
// Small socket buffers on both ends, so a peer that does not read stalls the host's writes after a
// few kilobytes and the bytes in flight hold still.
constexpr int kTinyBufferBytes = 4096;
constexpr auto kCloseHandshake = std::chrono::seconds(10);
constexpr auto kJustBeforeDeadline = kCloseHandshake - std::chrono::microseconds(1);

base::Bytes closePayload(std::uint16_t code, std::string_view reason = {}) {
    base::Bytes payload{static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code & 0xFF)};
    payload.insert(payload.end(), reason.begin(), reason.end());
    return payload;
}

// A binary frame of exactly `size` bytes on the wire.
base::Bytes frameOfSize(std::size_t size) {
    const std::size_t header = size - 10 > 0xFFFF ? 10 : size - 4 >= 126 ? 4 : 2;
    base::Bytes frame = WebSocketParser::frame(base::Bytes(size - header, 0xAB), WebSocketOpcode::binary);
    EXPECT_EQ(frame.size(), size);
    return frame;
}

std::size_t openDescriptors() {
    std::size_t count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (::readdir(dir)) ++count;
    ::closedir(dir);
    return count;
}

class WebSocketConnectionTest : public ::testing::Test {
protected:
    // Transport completions post to the owner while a connection lives, so both queues run dry
    // before the owner goes away.
    void TearDown() override {
        client_.reset();
        for (int turn = 0; turn < 100; ++turn) {
            transport_->sync([] {});
            owner_.advance(kCloseHandshake);
            transport_->sync([] {});
            if (owner_.pendingCount() == 0) break;
        }
    }

    // A connected client and the host's connection over it, callbacks recorded, not started.
    std::shared_ptr<WebSocketConnection> open(base::Bytes leftover = {}, bool tinyBuffers = false) {
        client_ = std::make_unique<RawClient>(acceptor_.local_endpoint().port(), tinyBuffers ? kTinyBufferBytes : 0);
        tcp::socket socket(transport_->context());
        acceptor_.accept(socket);
        if (tinyBuffers) socket.set_option(tcp::socket::send_buffer_size(kTinyBufferBytes));
        auto connection =
            WebSocketConnection::create({transport_, std::move(socket)}, std::move(leftover), owner_, owner_.clock(),
                                        [this](std::string_view line) { log_.emplace_back(line); });
        connection->onText = [this](std::string text) { texts_.push_back(std::move(text)); };
        connection->onBinary = [this](base::Bytes data) { binaries_.push_back(std::move(data)); };
        connection->onClosed = [this, weak = std::weak_ptr(connection)](std::optional<std::uint16_t> code) {
            closed_.push_back(code);
            auto self = weak.lock();
            closedBeforeCancel_ = self && !self->isClosed();
        };
        return connection;
    }

    std::shared_ptr<WebSocketConnection> openStarted(bool tinyBuffers = false) {
        auto connection = open({}, tinyBuffers);
        connection->start();
        return connection;
    }

    bool runUntil(const std::function<bool()>& done) { return owner_.runUntil(done); }

    // Writes that need no hop to the owner settle on the transport queue alone; let it run until
    // they have (a completion found ready only after a barrier lands behind it).
    bool drainWrites(const WebSocketConnection& connection) {
        for (int turn = 0; turn < 1000 && connection.bytesInFlight() != 0; ++turn) transport_->sync([] {});
        return connection.bytesInFlight() == 0;
    }

    // The connection has ended: transport cancelled, onClosed once with `code`, the log line written.
    void expectFinished(const WebSocketConnection& connection, std::optional<std::uint16_t> code) {
        EXPECT_TRUE(connection.isClosed());
        owner_.advance(kCloseHandshake);  // a pending deadline changes nothing
        ASSERT_EQ(closed_.size(), 1u);
        EXPECT_EQ(closed_.front(), code);
        ASSERT_EQ(log_.size(), 1u);
        EXPECT_EQ(log_.front(), "websocket: transport cancelled id=" + connection.id() +
                                    " code=" + (code ? std::to_string(*code) : std::string("EOF/error")));
    }

    std::shared_ptr<base::DispatchQueue> transport_ = std::make_shared<base::DispatchQueue>("zq2.transport");
    testing::ManualExecutor owner_;
    tcp::acceptor acceptor_{transport_->context(), tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)};
    std::unique_ptr<RawClient> client_;
    std::vector<std::string> texts_;
    std::vector<base::Bytes> binaries_;
    std::vector<std::optional<std::uint16_t>> closed_;
    bool closedBeforeCancel_ = false;
    std::vector<std::string> log_;
};

template <class Case>
class WebSocketConnectionTable : public WebSocketConnectionTest, public ::testing::WithParamInterface<Case> {};

TEST_F(WebSocketConnectionTest, HandlesLeftoverBeforeTheFirstRead) {
    const base::Bytes second = textFrame("world");
    auto connection = open(join({textFrame("hello"), base::Bytes(second.begin(), second.begin() + 3)}));
    EXPECT_EQ(connection->receiveStartedAt(), 0u);
    connection->start();
    EXPECT_EQ(texts_, std::vector<std::string>{"hello"});
    EXPECT_EQ(connection->receiveStartedAt(), owner_.nowMicros());

    client_->write(base::ByteView(second).subspan(3));
    ASSERT_TRUE(runUntil([&] { return texts_.size() == 2; }));
    EXPECT_EQ(texts_.back(), "world");
}

TEST_F(WebSocketConnectionTest, DeliversMessagesAndNotesWhenHandlingBegan) {
    auto connection = openStarted();
    owner_.advance(std::chrono::milliseconds(250));
    client_->write(join({textFrame("a"), binaryFrame({1, 2, 3})}));
    ASSERT_TRUE(runUntil([&] { return binaries_.size() == 1; }));
    EXPECT_EQ(texts_, std::vector<std::string>{"a"});
    EXPECT_EQ(binaries_.front(), (base::Bytes{1, 2, 3}));
    EXPECT_EQ(connection->receiveStartedAt(), owner_.nowMicros());
}

TEST_F(WebSocketConnectionTest, SendsTextAndBinaryFrames) {
    auto connection = openStarted();
    connection->sendText("héllo");
    EXPECT_TRUE(connection->send(WebSocketParser::frame(base::Bytes{9, 8}, WebSocketOpcode::binary),
                                 std::numeric_limits<std::int64_t>::max()));
    EXPECT_EQ(client_->readFrame(), (ServerFrame{kText, false, bytesOf("héllo")}));
    EXPECT_EQ(client_->readFrame(), (ServerFrame{kBinary, false, {9, 8}}));
    EXPECT_TRUE(drainWrites(*connection));
}

TEST_F(WebSocketConnectionTest, AnswersPingWithItsData) {
    auto connection = openStarted();
    for (std::string_view data : {"tick", ""}) {
        owner_.advance(std::chrono::milliseconds(1));
        client_->write(pingFrame(data));
        ASSERT_TRUE(runUntil([&] { return connection->receiveStartedAt() == owner_.nowMicros(); }));
        EXPECT_EQ(client_->readFrame(), (ServerFrame{kPong, false, bytesOf(data)}));
    }
    EXPECT_TRUE(drainWrites(*connection));
}

// A ping is answered while at most 262,144 bytes are in flight; past that the peer is not reading
// and gets 1008 instead of a pong stuck behind the rest.
using PingWhileStalled = WebSocketConnectionTable<std::size_t>;

TEST_P(PingWhileStalled, AnswersOnlyWhileThePeerKeepsUp) {
    const std::size_t inFlight = GetParam();
    const bool answers = inFlight <= static_cast<std::size_t>(WebSocketConnection::kPongInFlightLimitBytes);
    auto connection = openStarted(true);
    ASSERT_TRUE(connection->send(frameOfSize(inFlight), 0));
    client_->write(pingFrame("p"));
    ASSERT_TRUE(runUntil([&] {
        return answers ? connection->bytesInFlight() > static_cast<std::int64_t>(inFlight) : connection->isClosing();
    }));

    EXPECT_EQ(client_->readFrame()->payload.size(), inFlight - 10);
    if (answers) {
        EXPECT_EQ(client_->readFrame(), (ServerFrame{kPong, false, bytesOf("p")}));
        EXPECT_FALSE(connection->isClosing());
        return;
    }
    EXPECT_EQ(client_->readFrame(), (ServerFrame{kClose, false, closePayload(1008, "not reading")}));
    client_->write(closeFrame(1008));
    ASSERT_TRUE(runUntil([&] { return connection->isClosed(); }));
    expectFinished(*connection, 1008);
}

INSTANTIATE_TEST_SUITE_P(AtTheLimit, PingWhileStalled, ::testing::Values(262'144, 262'145));

using SendTextWhileStalled = WebSocketConnectionTable<std::size_t>;

TEST_P(SendTextWhileStalled, EndsTheConnectionWhenTooMuchIsInFlight) {
    const std::size_t inFlight = GetParam();
    auto connection = openStarted(true);
    ASSERT_TRUE(connection->send(frameOfSize(inFlight), std::numeric_limits<std::int64_t>::max()));
    connection->sendText("x");
    if (inFlight <= static_cast<std::size_t>(WebSocketConnection::kTextInFlightLimitBytes)) {
        EXPECT_FALSE(connection->isClosed());
        EXPECT_EQ(client_->readFrame()->payload.size(), inFlight - 10);
        EXPECT_EQ(client_->readFrame(), (ServerFrame{kText, false, bytesOf("x")}));
        return;
    }
    // Ended at once, without a close frame: the peer gets part of the big frame, then the end.
    expectFinished(*connection, std::nullopt);
    auto rest = client_->readToEnd();
    ASSERT_TRUE(rest.has_value());
    EXPECT_LT(rest->size(), inFlight);
    EXPECT_EQ((*rest)[0], kBinary);
}

INSTANTIATE_TEST_SUITE_P(AtTheLimit, SendTextWhileStalled, ::testing::Values(4'194'304, 4'194'305));

TEST_F(WebSocketConnectionTest, RefusesASendOverItsPendingLimitAtOnce) {
    auto connection = openStarted(true);
    std::optional<bool> first;
    std::optional<bool> second;
    bool firstOnOwner = false;
    EXPECT_TRUE(connection->send(frameOfSize(100'000), 0, [&](bool ok) {
        first = ok;
        firstOnOwner = owner_.isCurrent();
    }));
    EXPECT_EQ(connection->bytesInFlight(), 100'000);
    EXPECT_FALSE(connection->send(frameOfSize(10), 0, [&](bool ok) { second = ok; }));
    EXPECT_EQ(second, false);  // on the caller's thread, before send returned
    EXPECT_EQ(connection->bytesInFlight(), 100'000);
    EXPECT_FALSE(connection->isClosing());

    EXPECT_EQ(client_->readFrame()->payload.size(), 100'000u - 10);
    ASSERT_TRUE(runUntil([&] { return first.has_value(); }));
    EXPECT_EQ(first, true);
    EXPECT_TRUE(firstOnOwner);
    EXPECT_EQ(connection->bytesInFlight(), 0);
}

TEST_F(WebSocketConnectionTest, KeepsFramesWholeAndInOrderAcrossSendingThreads) {
    auto connection = openStarted();
    constexpr int kThreads = 4;
    constexpr int kFramesEach = 200;
    auto text = [](int thread, int index) {
        return std::to_string(thread) + ":" + std::to_string(index) + ":" + std::string(index * 37 % 3000, '.');
    };
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < kFramesEach; ++i) {
                connection->send(WebSocketParser::frame(bytesOf(text(t, i)), WebSocketOpcode::text),
                                 std::numeric_limits<std::int64_t>::max());
            }
        });
    }
    for (auto& sender : senders) sender.join();
    std::array<int, kThreads> next{};
    for (int n = 0; n < kThreads * kFramesEach; ++n) {
        auto frame = client_->readFrame();
        ASSERT_TRUE(frame.has_value());
        const std::string received(frame->payload.begin(), frame->payload.end());
        const int thread = received[0] - '0';
        ASSERT_TRUE(thread >= 0 && thread < kThreads);
        EXPECT_EQ(received, text(thread, next[thread]++));
    }
    EXPECT_TRUE(drainWrites(*connection));
}

struct ReasonCase {
    std::string name;
    std::string reason;
    std::string sent;
};
void PrintTo(const ReasonCase& row, std::ostream* out) { *out << row.name; }

using CloseReasons = WebSocketConnectionTable<ReasonCase>;

TEST_P(CloseReasons, AreCutToWholeCharacters) {
    auto connection = openStarted();
    connection->close(4003, GetParam().reason);
    connection->close(1001, "again");  // ignored
    EXPECT_EQ(connection->closeCode(), 4003);
    EXPECT_EQ(client_->readFrame(), (ServerFrame{kClose, false, closePayload(4003, GetParam().sent)}));
    client_->write(closeFrame(4003));
    ASSERT_TRUE(runUntil([&] { return connection->isClosed(); }));
    expectFinished(*connection, 4003);
    EXPECT_EQ(client_->readToEnd(), base::Bytes{});  // nothing after the one close frame
}

const std::string a118(118, 'a');
INSTANTIATE_TEST_SUITE_P(Cases, CloseReasons,
                         ::testing::Values(ReasonCase{"LongAscii", std::string(200, 'r'), std::string(120, 'r')},
                                           ReasonCase{"ExactlyFits", a118 + "é", a118 + "é"},
                                           ReasonCase{"CutInsideACharacter", a118 + "a€", a118 + "a"},
                                           ReasonCase{"FourByteCharacterOver", a118 + "😀", a118},
                                           ReasonCase{"InvalidUtf8", "bad \xFF byte", "bad \xEF\xBF\xBD byte"},
                                           ReasonCase{"Empty", "", ""}),
                         [](const auto& row) { return row.param.name; });

struct PeerCloseCase {
    std::string name;
    base::Bytes frame;
    std::optional<std::uint16_t> code;
    base::Bytes reply;
};
void PrintTo(const PeerCloseCase& row, std::ostream* out) { *out << row.name; }

using PeerCloses = WebSocketConnectionTable<PeerCloseCase>;

TEST_P(PeerCloses, AreAnsweredWithTheirCodeOnly) {
    auto connection = openStarted();
    // Whatever follows the close frame is not delivered.
    client_->write(join({GetParam().frame, textFrame("late")}));
    ASSERT_TRUE(runUntil([&] { return !closed_.empty(); }));
    EXPECT_TRUE(closedBeforeCancel_) << "onClosed comes before the transport is cancelled";
    EXPECT_EQ(client_->readFrame(), (ServerFrame{kClose, false, GetParam().reply}));
    ASSERT_TRUE(runUntil([&] { return connection->isClosed(); }));  // once the reply is written
    expectFinished(*connection, GetParam().code);
    EXPECT_TRUE(texts_.empty());
    EXPECT_EQ(client_->readToEnd(), base::Bytes{});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PeerCloses,
    ::testing::Values(PeerCloseCase{"CodeAndReason", closeFrame(1000, "done here"), 1000, closePayload(1000)},
                      PeerCloseCase{"Empty", closeFrame(std::nullopt), std::nullopt, {}},
                      PeerCloseCase{"OneByte", testing::encode({.opcode = 8, .payload = {0x03}}), std::nullopt, {}}),
    [](const auto& row) { return row.param.name; });

TEST_F(WebSocketConnectionTest, EndsOwnCloseOnThePeersAnswer) {
    auto connection = openStarted();
    connection->close(4003, "auth failed");
    EXPECT_TRUE(connection->isClosing());
    EXPECT_FALSE(connection->send(frameOfSize(10), std::numeric_limits<std::int64_t>::max()));
    EXPECT_EQ(client_->readFrame(), (ServerFrame{kClose, false, closePayload(4003, "auth failed")}));
    // Messages after the close has started are dropped; the close frame ends the connection.
    client_->write(join({textFrame("dropped"), binaryFrame({1})}));
    client_->write(closeFrame(1000));
    ASSERT_TRUE(runUntil([&] { return connection->isClosed(); }));
    EXPECT_TRUE(texts_.empty());
    EXPECT_TRUE(binaries_.empty());
    expectFinished(*connection, 4003);
}

TEST_F(WebSocketConnectionTest, EndsOwnCloseAfterTenSecondsWithoutAnswer) {
    auto connection = openStarted();
    connection->close(4003, "auth failed");
    EXPECT_EQ(client_->readFrame()->opcode(), 8);
    owner_.advance(kJustBeforeDeadline);
    EXPECT_FALSE(connection->isClosed());
    EXPECT_TRUE(closed_.empty());
    owner_.advance(std::chrono::microseconds(1));
    expectFinished(*connection, 4003);
    EXPECT_EQ(client_->readToEnd(), base::Bytes{});
}

struct BadFrameCase {
    std::string name;
    base::Bytes bytes;
    std::uint16_t code;
};
void PrintTo(const BadFrameCase& row, std::ostream* out) { *out << row.name; }

using BadFrames = WebSocketConnectionTable<BadFrameCase>;

TEST_P(BadFrames, CloseWithTheirCode) {
    auto connection = openStarted();
    client_->write(GetParam().bytes);
    ASSERT_TRUE(runUntil([&] { return connection->isClosing(); }));
    EXPECT_EQ(client_->readFrame(), (ServerFrame{kClose, false, closePayload(GetParam().code, "invalid frame")}));
    // Any further bytes while closing end the connection at once.
    client_->write(closeFrame(GetParam().code));
    ASSERT_TRUE(runUntil([&] { return connection->isClosed(); }));
    expectFinished(*connection, GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadFrames,
    ::testing::Values(BadFrameCase{"Unmasked", testing::encode({.opcode = 1, .payload = bytesOf("x"), .masked = false}),
                                   1002},
                      BadFrameCase{"UnknownOpcode", testing::encode({.opcode = 5}), 1002},
                      BadFrameCase{"InvalidText", textFrame("\xC0"), 1002},
                      BadFrameCase{"FrameOverLimit", testing::encode({.opcode = 2, .declaredLength = 65537}), 1009}),
    [](const auto& row) { return row.param.name; });

TEST_F(WebSocketConnectionTest, AcceptsLargerMessagesOnceTheLimitIsRaised) {
    auto connection = openStarted();
    connection->parser().maxMessage = 8'388'608;
    client_->write(binaryFrame(base::Bytes(1'000'000, 7)));
    ASSERT_TRUE(runUntil([&] { return binaries_.size() == 1; }));
    EXPECT_EQ(binaries_.front().size(), 1'000'000u);
}

TEST_F(WebSocketConnectionTest, FinishesWithoutCodeAtTheEndOfTheStream) {
    auto connection = openStarted();
    client_->write(textFrame("last"));
    client_->shutdownWrite();
    ASSERT_TRUE(runUntil([&] { return connection->isClosed(); }));
    EXPECT_EQ(texts_, std::vector<std::string>{"last"});
    expectFinished(*connection, std::nullopt);
    EXPECT_FALSE(connection->send(frameOfSize(10), std::numeric_limits<std::int64_t>::max()));
}

TEST_F(WebSocketConnectionTest, FailedWriteCompletesFalseOnTheOwnerAndFinishes) {
    auto connection = open();  // not reading, so the reset shows up at the write
    client_->reset();
    std::optional<bool> result;
    bool onOwner = false;
    connection->send(frameOfSize(70'000), std::numeric_limits<std::int64_t>::max(), [&](bool ok) {
        result = ok;
        onOwner = owner_.isCurrent();
    });
    ASSERT_TRUE(runUntil([&] { return connection->isClosed(); }));
    EXPECT_EQ(result, false);
    EXPECT_TRUE(onOwner);
    expectFinished(*connection, std::nullopt);
}

TEST_F(WebSocketConnectionTest, LateCompletionsFindTheConnectionGone) {
    const std::size_t before = openDescriptors();
    auto connection = openStarted(true);
    bool called = false;
    connection->send(frameOfSize(1'000'000), std::numeric_limits<std::int64_t>::max(), [&](bool) { called = true; });
    connection.reset();  // the owner lets go with the write still pending
    auto rest = client_->readToEnd();
    ASSERT_TRUE(rest.has_value());
    EXPECT_LE(rest->size(), 1'000'000u);
    owner_.runUntilIdle();
    EXPECT_FALSE(called);
    EXPECT_TRUE(closed_.empty());
    client_.reset();
    transport_->sync([] {});
    EXPECT_EQ(openDescriptors(), before);
}

// Every completion hops to the owner holding the connection weakly: one already posted when the
// owner lets go finds it gone, whatever it carries.
struct LateHopCase {
    std::string name;
    base::Bytes frame;
};
void PrintTo(const LateHopCase& row, std::ostream* out) { *out << row.name; }

using LateHops = WebSocketConnectionTable<LateHopCase>;

TEST_P(LateHops, NeverReachAnOwnerThatLetGoAfterTheyWerePosted) {
    auto connection = openStarted();
    bool completed = false;
    connection->send(frameOfSize(100), std::numeric_limits<std::int64_t>::max(), [&](bool) { completed = true; });
    client_->write(GetParam().frame);
    // The write's completion and the read's are both posted, not yet run.
    for (int turn = 0; turn < 100'000 && owner_.pendingCount() < 2; ++turn) transport_->sync([] {});
    ASSERT_EQ(owner_.pendingCount(), 2u);
    connection.reset();
    owner_.runUntilIdle();
    EXPECT_FALSE(completed);
    EXPECT_TRUE(texts_.empty());
    EXPECT_TRUE(binaries_.empty());
    EXPECT_TRUE(closed_.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, LateHops,
                         ::testing::Values(LateHopCase{"Text", textFrame("late")},
                                           LateHopCase{"Binary", binaryFrame({1, 2})},
                                           LateHopCase{"Close", closeFrame(1000)}),
                         [](const auto& row) { return row.param.name; });

TEST_F(WebSocketConnectionTest, OwnersFinishEndsAtOnceWithoutACloseFrame) {
    auto connection = openStarted();
    connection->finish(1001);
    connection->finish(1000);  // ignored
    expectFinished(*connection, 1001);
    EXPECT_EQ(client_->readToEnd(), base::Bytes{});
}

TEST_F(WebSocketConnectionTest, KeepsItsTransportQueueAlive) {
    auto queue = std::make_shared<base::DispatchQueue>("zq2.transport");
    std::unique_ptr<RawClient> client;
    tcp::socket socket(queue->context());
    {
        tcp::acceptor acceptor(queue->context(), tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
        client = std::make_unique<RawClient>(acceptor.local_endpoint().port());
        acceptor.accept(socket);
    }
    auto connection = WebSocketConnection::create({std::move(queue), std::move(socket)}, {}, owner_, owner_.clock(),
                                                  [](std::string_view) {});
    connection->start();
    connection->sendText("still served");
    EXPECT_EQ(client->readFrame(), (ServerFrame{kText, false, bytesOf("still served")}));
    client->write(textFrame("and read"));
    std::optional<std::string> text;
    connection->onText = [&](std::string received) { text = std::move(received); };
    ASSERT_TRUE(runUntil([&] { return text.has_value(); }));
    EXPECT_EQ(text, "and read");
}

// A peer that stops reading while media is sent: every accepted send stays within its limit, and the
// peer's next ping finds it not reading.
TEST_F(WebSocketConnectionTest, SlowReaderKeepsBytesInFlightBoundedAndEndsNotReading) {
    constexpr std::int64_t kLimit = 262'144;
    const base::Bytes media = frameOfSize(65'546);
    auto connection = openStarted(true);
    const auto ceiling = kLimit + static_cast<std::int64_t>(media.size());
    std::atomic<std::int64_t> largest{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 3; ++t) {
        senders.emplace_back([&] {
            for (int refused = 0; refused < 50;) {
                if (!connection->send(media, kLimit)) {
                    ++refused;
                    continue;
                }
                // Each send is counted under the lock that checked the limit: one frame past it at most.
                const std::int64_t seen = connection->bytesInFlight();
                for (auto was = largest.load(); seen > was && !largest.compare_exchange_weak(was, seen);) {
                }
            }
        });
    }
    for (auto& sender : senders) sender.join();
    EXPECT_LE(largest.load(), ceiling);
    EXPECT_GT(connection->bytesInFlight(), kLimit);

    client_->write(pingFrame("still there?"));
    ASSERT_TRUE(runUntil([&] { return connection->isClosing(); }));
    EXPECT_EQ(connection->closeCode(), 1008);
    owner_.advance(kCloseHandshake);
    expectFinished(*connection, 1008);
}

TEST_F(WebSocketConnectionTest, LeavesNoDescriptorsBehind) {
    const std::size_t before = openDescriptors();
    for (int round = 0; round < 3; ++round) {
        {  // the peer closes
            auto connection = openStarted();
            client_->write(closeFrame(1000));
            ASSERT_TRUE(runUntil([&] { return connection->isClosed(); }));
        }
        {  // our close runs out
            auto connection = openStarted();
            connection->close(1001, "bye");
            owner_.advance(kCloseHandshake);
            ASSERT_TRUE(connection->isClosed());
        }
        {  // the stream ends
            auto connection = openStarted();
            client_->shutdownWrite();
            ASSERT_TRUE(runUntil([&] { return connection->isClosed(); }));
        }
        {  // a protocol error, then the peer goes away
            auto connection = openStarted();
            client_->write(testing::encode({.opcode = 3}));
            ASSERT_TRUE(runUntil([&] { return connection->isClosing(); }));
            client_.reset();
            ASSERT_TRUE(runUntil([&] { return connection->isClosed(); }));
        }
        {  // dropped without any end, never started
            auto connection = open();
        }
        client_.reset();
    }
    owner_.advance(kCloseHandshake);
    transport_->sync([] {});
    transport_->sync([] {});
    EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace orvanta::host
