#include <gtest/gtest.h>

#include "base/Base64.h"
#include "host/media/WindowsCursorStream.h"
#include "platform/x11/X11CursorSampler.h"
#include "protocol/ControlMessages.h"
#include "support/ManualExecutor.h"
#include "support/X11TestCursor.h"
#include "support/XvfbFixture.h"

namespace orvanta::host {
namespace {

TEST(WindowsCursorStreamXvfbTest, SendsTheDefinedCursorAsPngWithItsHotSpot) {
    ORVANTA_REQUIRE_XVFB();
    auto connection = platform::x11::XConnection::open(display);
    ASSERT_TRUE(connection) << connection.error();
    const auto image = testing::testCursorImage(4, 9);
    ASSERT_TRUE(testing::defineRootCursor(**connection, image));
    auto sampler = platform::x11::X11CursorSampler::open(display);
    ASSERT_TRUE(sampler) << sampler.error();

    testing::ManualExecutor host;
    testing::ManualExecutor main;
    auto stream = WindowsCursorStream::create(2, host, main, std::shared_ptr(std::move(*sampler)));
    std::vector<std::string> sent;
    const auto send = [&](std::uint64_t now) {
        stream->send({0.5, 0.5, true}, now, [&](const std::string& text) { sent.push_back(text); });
    };
    send(1'000'000);
    main.runUntilIdle();
    host.runUntilIdle();
    send(1'033'333);

    ASSERT_EQ(sent.size(), 2u);
    auto message = protocol::ControlMessage::decode(sent[1]);
    ASSERT_TRUE(message && message->as<protocol::CursorPosition>());
    const auto& shape = message->as<protocol::CursorPosition>()->shape;
    ASSERT_TRUE(shape);
    EXPECT_EQ(base::base64Decode(shape->png), WindowsCursorShape::fromImage(image)->png);
    EXPECT_EQ((std::array{shape->width, shape->height, shape->hotX, shape->hotY}), (std::array{16.0, 16.0, 4.0, 9.0}));
}

}  // namespace
}  // namespace orvanta::host
