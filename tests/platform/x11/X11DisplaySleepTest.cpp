// Display sleep against a private X server (Xvfb has no DPMS, so the screen saver answers): the
// blanked screen counts as asleep, and waking brings it back.
#include <gtest/gtest.h>

#include "platform/x11/X11DisplaySleep.h"
#include "support/XvfbFixture.h"

namespace orvanta::testing {
namespace {

using platform::x11::Reply;
using platform::x11::X11DisplaySleep;
using platform::x11::XConnection;

void sync(XConnection& x) {
    Reply<xcb_get_input_focus_reply_t>(xcb_get_input_focus_reply(x.get(), xcb_get_input_focus(x.get()), nullptr));
}

TEST(X11DisplaySleep, BlankedScreenIsAsleepUntilWoken) {
    ORVANTA_REQUIRE_XVFB();
    auto sleep = X11DisplaySleep::open(display);
    ASSERT_TRUE(sleep) << sleep.error();
    auto other = XConnection::open(display);
    ASSERT_TRUE(other) << other.error();

    EXPECT_EQ((*sleep)->displayAsleep(), false);
    EXPECT_FALSE((*sleep)->wakeDisplay());
    xcb_force_screen_saver((*other)->get(), XCB_SCREEN_SAVER_ACTIVE);
    sync(**other);
    EXPECT_EQ((*sleep)->displayAsleep(), true);
    EXPECT_TRUE((*sleep)->wakeDisplay());
    EXPECT_EQ((*sleep)->displayAsleep(), false);
}

TEST(X11DisplaySleep, AVanishedServerAnswersUnknown) {
    ORVANTA_REQUIRE_XVFB();
    auto server = XvfbServer::start();
    ASSERT_TRUE(server) << server.error();
    auto sleep = X11DisplaySleep::open((*server)->display());
    ASSERT_TRUE(sleep) << sleep.error();
    (*server)->kill();
    EXPECT_EQ((*sleep)->displayAsleep(), std::nullopt);
    EXPECT_FALSE((*sleep)->wakeDisplay());
}

}  // namespace
}  // namespace orvanta::testing
