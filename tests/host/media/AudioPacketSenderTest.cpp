#include "host/media/AudioPacketSender.h"

#include <gtest/gtest.h>

#include <deque>

#include "base/DispatchQueue.h"
#include "host/transport/WebSocket.h"
#include "host/transport/WebSocketTestSupport.h"
#include "protocol/VideoPacket.h"
#include "support/ManualExecutor.h"

namespace orvanta::host {
namespace {

using protocol::PacketFlags;
using protocol::PacketType;
using protocol::VideoPacket;

// The packet inside one server-to-client binary frame.
VideoPacket unwrap(base::Bytes frame) {
    auto server = testing::takeServerFrame(frame);
    EXPECT_TRUE(server && server->opcode() == 2 && !server->masked && frame.empty());
    auto packet = VideoPacket::parse(base::ByteView(server->payload));
    EXPECT_TRUE(packet.has_value());
    return packet.value_or(VideoPacket{});
}

class AudioPacketSenderTest : public ::testing::Test {
protected:
    // Sends one packet through a connection that accepts or refuses it.
    void send(bool accept, bool discontinuity = false, std::size_t size = 300) {
        accepts_.push_back(accept);
        sender_.send(base::Bytes(size, 0x21), pts_ += 21'333, discontinuity);
    }

    std::deque<bool> accepts_;
    std::vector<VideoPacket> sent_;
    std::vector<std::int64_t> limits_;
    std::uint64_t pts_ = 0;
    AudioPacketSender sender_{[this](base::Bytes frame, std::int64_t limit) {
                                  limits_.push_back(limit);
                                  const bool accept = accepts_.front();
                                  accepts_.pop_front();
                                  if (accept) sent_.push_back(unwrap(std::move(frame)));
                                  return accept;
                              },
                              7};
};

TEST_F(AudioPacketSenderTest, NumbersAcceptedPacketsAndCarriesTheirTimes) {
    send(true, true);
    send(true);
    ASSERT_EQ(sent_.size(), 2u);
    const auto& first = sent_[0].header();
    EXPECT_EQ(first.type, PacketType::audio);
    EXPECT_EQ(first.gen, 7);
    EXPECT_EQ(first.seq, 1u);
    EXPECT_EQ(first.ptsMicros, 21'333u);
    EXPECT_EQ(first.flags, PacketFlags::discontinuity);
    EXPECT_EQ(sent_[0].payload().size(), 300u);
    EXPECT_EQ(sent_[1].header().seq, 2u);
    EXPECT_EQ(sent_[1].header().flags, PacketFlags{});
    EXPECT_EQ(limits_, (std::vector<std::int64_t>{262'144, 262'144}));
}

TEST_F(AudioPacketSenderTest, RefusedPacketKeepsTheSequenceAndMarksTheNextAccepted) {
    send(true);
    send(false);
    send(false);
    EXPECT_TRUE(sender_.dropped());
    EXPECT_EQ(sender_.sequence(), 1u);
    send(true);
    send(true);
    ASSERT_EQ(sent_.size(), 3u);
    EXPECT_EQ(sent_[1].header().seq, 2u);
    EXPECT_EQ(sent_[1].header().flags, PacketFlags::discontinuity);
    EXPECT_EQ(sent_[2].header().seq, 3u);
    EXPECT_EQ(sent_[2].header().flags, PacketFlags{});
    EXPECT_FALSE(sender_.dropped());
}

TEST_F(AudioPacketSenderTest, PacketTooLargeForTheHeaderIsDroppedWithoutAnyChange) {
    sender_.send(base::Bytes(VideoPacket::maxPayloadLength + 1, 0), 0, false);
    EXPECT_TRUE(limits_.empty());
    EXPECT_EQ(sender_.sequence(), 0u);
    EXPECT_FALSE(sender_.dropped());
}

// Over a real loopback connection the packet arrives as one binary frame.
TEST(AudioPacketSenderLoopback, SendsOneBinaryFramePerPacket) {
    using boost::asio::ip::tcp;
    auto transport = std::make_shared<base::DispatchQueue>("zq2.transport");
    testing::ManualExecutor owner;
    tcp::acceptor acceptor{transport->context(), tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)};
    testing::RawClient client(acceptor.local_endpoint().port());
    tcp::socket socket(transport->context());
    acceptor.accept(socket);
    auto connection =
        WebSocketConnection::create({transport, std::move(socket)}, {}, owner, owner.clock(), [](std::string_view) {});
    connection->start();

    AudioPacketSender sender(connection, 3);
    sender.send(base::Bytes(500, 0x5A), 1'000'000, true);
    auto frame = client.readFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->opcode(), 2);
    auto packet = VideoPacket::parse(base::ByteView(frame->payload));
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->header().gen, 3);
    EXPECT_EQ(packet->header().seq, 1u);
    EXPECT_EQ(packet->header().ptsMicros, 1'000'000u);
    EXPECT_EQ(packet->payload().size(), 500u);
    EXPECT_EQ(sender.sequence(), 1u);

    connection->close(1000, "");
    client.reset();
    for (int turn = 0; turn < 100 && owner.pendingCount() != 0; ++turn) {
        transport->sync([] {});
        owner.advance(std::chrono::seconds(10));
    }
}

}  // namespace
}  // namespace orvanta::host
