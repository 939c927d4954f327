#include "platform/x11/XConnection.h"

#include <gtest/gtest.h>

#include "support/XvfbFixture.h"

namespace orvanta::platform::x11 {
namespace {

TEST(XConnectionTest, InternsAtomsOnceAndReportsALostServer) {
    auto server = testing::XvfbServer::start({.width = 640, .height = 480});
    if (!server) return testing::skipOrFailWithoutService("Xvfb: " + server.error());
    auto connection = XConnection::open((*server)->display());
    ASSERT_TRUE(connection) << connection.error();
    const xcb_atom_t atom = (*connection)->atom("_NET_ACTIVE_WINDOW");
    EXPECT_NE(atom, XCB_ATOM_NONE);
    EXPECT_EQ((*connection)->atom("_NET_ACTIVE_WINDOW"), atom);
    EXPECT_EQ((*connection)->screen()->width_in_pixels, 640);

    (*server)->kill();
    xcb_generic_error_t* error = nullptr;
    Reply<xcb_get_geometry_reply_t> reply(
        xcb_get_geometry_reply((*connection)->get(), xcb_get_geometry((*connection)->get(), (*connection)->root()), &error));
    std::free(error);
    EXPECT_FALSE(reply);
    EXPECT_TRUE((*connection)->hasError());
}

TEST(XConnectionTest, RefusesADisplayThatIsNotThere) {
    auto connection = XConnection::open(":987654");
    ASSERT_FALSE(connection);
    EXPECT_NE(connection.error().find(":987654"), std::string::npos);
}

TEST(XvfbFixtureTest, SharedServerGainsAWindowManagerWhenAsked) {
    ORVANTA_REQUIRE_XVFB(testing::XvfbOptions{.windowManager = true});
    auto connection = XConnection::open(display);
    ASSERT_TRUE(connection) << connection.error();
    const xcb_atom_t check = (*connection)->atom("_NET_SUPPORTING_WM_CHECK");
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        (*connection)->get(), xcb_get_property((*connection)->get(), 0, (*connection)->root(), check, XCB_ATOM_WINDOW, 0, 1),
        nullptr));
    ASSERT_TRUE(reply);
    EXPECT_EQ(xcb_get_property_value_length(reply.get()), 4);
}

}  // namespace
}  // namespace orvanta::platform::x11
