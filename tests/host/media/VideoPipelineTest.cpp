// The whole video road on real parts: an Xvfb display captured over X11, encoded by libx264, sent
// by the video sender over a loopback WebSocket connection, and parsed and decoded by a client.
#include <utility>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <boost/asio/ip/tcp.hpp>
#include <cstdlib>
#include <future>

#include "base/DispatchQueue.h"
#include "host/media/Capture.h"
#include "host/media/Encoder.h"
#include "host/media/VideoSender.h"
#include "host/transport/WebSocket.h"
#include "host/transport/WebSocketTestSupport.h"
#include "platform/x11/X11ScreenSource.h"
#include "platform/x11/XConnection.h"
#include "protocol/StreamConfig.h"
#include "support/H264TestDecoder.h"
#include "support/XvfbFixture.h"

namespace orvanta::host {
namespace {

using boost::asio::ip::tcp;

constexpr std::uint16_t kGen = 3;

TEST(VideoPipelineTest, CapturedScreenArrivesAsDecodablePackets) {
    ORVANTA_REQUIRE_XVFB();
    auto x = platform::x11::XConnection::open(display);
    ASSERT_TRUE(x.has_value());

    auto transport = std::make_shared<base::DispatchQueue>("zq2.transport");
    base::DispatchQueue hostQueue("zq2.host");
    tcp::acceptor acceptor(transport->context(), tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    testing::RawClient client(acceptor.local_endpoint().port());
    tcp::socket socket(transport->context());
    acceptor.accept(socket);
    const auto& clock = base::SystemClock::shared();
    auto connection = WebSocketConnection::create({transport, std::move(socket)}, {}, hostQueue, clock, [](std::string_view) {});
    VideoSender sender(clock, [](std::string_view) {});
    hostQueue.sync([&] {
        connection->start();
        sender.setGeneration(kGen);
        sender.attach(videoConnection(connection), false);
    });

    Capture::Environment environment;
    environment.source = std::make_shared<platform::x11::X11ScreenSource>(display);
    environment.log = [](std::string_view) {};
    auto capture = Capture::create(DeviceKind::iPad, environment);
    std::promise<bool> started;
    capture->start({.viewport = CaptureSize{640, 360}}, [&](bool ok) { started.set_value(ok); });
    ASSERT_TRUE(started.get_future().get());
    ASSERT_EQ(capture->width(), 640);
    ASSERT_EQ(capture->height(), 360);

    Encoder encoder(capture->width(), capture->height(), [](std::string_view) {});
    encoder.onParameters = [&](base::Bytes sps, base::Bytes pps) {
        protocol::StreamConfig config{
            kGen, std::string(protocol::StreamConfig::codecH264), 640, 360, 60, std::move(sps), std::move(pps)};
        hostQueue.sync([&] { sender.setConfig(config); });
    };
    encoder.onEncoded = [&](base::Bytes avcc, bool isKey, std::uint64_t pts) {
        hostQueue.sync([&] { sender.sendFrame(std::move(avcc), isKey, pts); });
    };
    ASSERT_TRUE(encoder.start());
    capture->setFrameHandler(
        [&encoder](std::shared_ptr<const PixelBuffer> frame, std::uint64_t pts) { encoder.encode(frame, pts); });

    // A red square drawn after the start: a third of 1920x1080 lands at (100, 100) in 640x360.
    const xcb_window_t window = xcb_generate_id((*x)->get());
    const std::uint32_t values[] = {0xFF0000, 1};
    xcb_create_window((*x)->get(), XCB_COPY_FROM_PARENT, window, (*x)->root(), 300, 300, 600, 300, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, (*x)->screen()->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window((*x)->get(), window);
    xcb_flush((*x)->get());

    auto first = client.readFrame();
    ASSERT_TRUE(first);
    auto configPacket = protocol::VideoPacket::parse(first->payload);
    ASSERT_TRUE(configPacket.has_value());
    auto config = protocol::StreamConfig::decode(*configPacket);
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(config->gen, kGen);
    EXPECT_EQ(config->width, 640);

    testing::H264Decoder decoder({config->sps, config->pps});
    protocol::FrameDiscardFilter gate;
    gate.didReceiveConfig(kGen);
    bool sawRed = false;
    std::uint32_t lastSeq = configPacket->header().seq;
    for (int received = 0; received < 60 && !sawRed; ++received) {
        auto frame = client.readFrame();
        ASSERT_TRUE(frame) << "packet " << received;
        auto packet = protocol::VideoPacket::parse(frame->payload);
        ASSERT_TRUE(packet.has_value());
        EXPECT_EQ(packet->header().seq, lastSeq + 1);
        lastSeq = packet->header().seq;
        EXPECT_NE(gate.decide(packet->header()), protocol::FrameDecision::drop);
        AVFrame* picture = decoder.decode(packet->payload());
        ASSERT_NE(picture, nullptr);
        hostQueue.sync([&] { EXPECT_TRUE(sender.ackReceived(kGen, lastSeq)); });
        const int redY = picture->data[0][150 * picture->linesize[0] + 200];
        const int outsideY = picture->data[0][50 * picture->linesize[0] + 50];
        sawRed = std::abs(redY - 81) <= 4 && std::abs(outsideY - 81) > 4;
    }
    EXPECT_TRUE(sawRed) << "the red square decodes at its place";
    hostQueue.sync([&] { EXPECT_TRUE(sender.unacked().empty()); });

    capture->stop();
    encoder.invalidate();
    capture.reset();
    hostQueue.sync([&] {
        sender.detach();
        connection->close(1000, "");
    });
    xcb_destroy_window((*x)->get(), window);
    xcb_flush((*x)->get());
    client.reset();
    hostQueue.sync([] {});
    transport->sync([] {});
}

}  // namespace
}  // namespace orvanta::host
