#include "platform/x11/X11CursorSampler.h"

#include <gtest/gtest.h>

#include "support/X11TestCursor.h"
#include "support/XvfbFixture.h"

namespace orvanta::platform::x11 {
namespace {

TEST(X11CursorSamplerTest, ReadsBackTheDefinedCursorWithItsHotSpot) {
    ORVANTA_REQUIRE_XVFB();
    auto connection = XConnection::open(display);
    ASSERT_TRUE(connection) << connection.error();
    auto sampler = X11CursorSampler::open(display);
    ASSERT_TRUE(sampler) << sampler.error();

    for (const auto& image : {testing::testCursorImage(3, 5), testing::testCursorImage(0, 15)}) {
        ASSERT_TRUE(testing::defineRootCursor(**connection, image));
        EXPECT_EQ((*sampler)->current(), image);
    }
}

TEST(X11CursorSamplerTest, GivesNothingOnceTheServerIsGone) {
    auto server = testing::XvfbServer::start();
    if (!server) return testing::skipOrFailWithoutService("Xvfb: " + server.error());
    auto sampler = X11CursorSampler::open((*server)->display());
    ASSERT_TRUE(sampler) << sampler.error();
    EXPECT_TRUE((*sampler)->current());
    (*server)->kill();
    EXPECT_FALSE((*sampler)->current());
    EXPECT_FALSE((*sampler)->current());
}

TEST(X11CursorSamplerTest, OpenFailsWithoutAServer) {
    auto sampler = X11CursorSampler::open(":4093");
    ASSERT_FALSE(sampler);
    EXPECT_FALSE(sampler.error().empty());
}

}  // namespace
}  // namespace orvanta::platform::x11
