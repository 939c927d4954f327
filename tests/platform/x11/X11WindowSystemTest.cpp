#include "platform/x11/X11WindowSystem.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "platform/x11/X11WindowIcon.h"
#include "support/ChildProcess.h"
#include "support/X11TestWindows.h"
#include "support/XvfbFixture.h"

namespace orvanta::platform::x11 {
namespace {

using testing::TestWindowSpec;

TestWindowSpec spec(
    std::string title, std::int64_t pid, const std::function<void(TestWindowSpec&)>& change = [](TestWindowSpec&) {}) {
    TestWindowSpec out;
    out.title = std::move(title);
    out.pid = pid;
    change(out);
    return out;
}

class X11WindowSystemTest : public ::testing::Test {
protected:
    std::unique_ptr<X11WindowSystem> system;
    std::unique_ptr<testing::X11TestWindows> windows;

    bool start(const std::string& display) {
        auto opened = X11WindowSystem::open(display);
        auto client = testing::X11TestWindows::open(display);
        EXPECT_TRUE(opened && client);
        if (!opened || !client) return false;
        system = std::move(*opened);
        windows = std::move(*client);
        return true;
    }
    xcb_window_t managed(const TestWindowSpec& spec) {
        auto window = windows->create(spec);
        EXPECT_TRUE(windows->waitManaged(window));
        return window;
    }
    std::optional<WindowDescription> listed(xcb_window_t window) {
        auto list = system->windowList(false);
        for (const auto& description : list.value()) {
            if (description.number == window) return description;
        }
        return std::nullopt;
    }
};

TEST_F(X11WindowSystemTest, TrustedOnlyWhereAWindowManagerAnswers) {
    auto bare = testing::XvfbServer::start({640, 480, false});
    if (!bare) return testing::skipOrFailWithoutService("Xvfb: " + bare.error());
    auto without = X11WindowSystem::open((*bare)->display());
    ASSERT_TRUE(without);
    EXPECT_FALSE((*without)->isAccessibilityTrusted());
    EXPECT_FALSE((*without)->windowList(true));  // no client list without a window manager

    ORVANTA_REQUIRE_XVFB(testing::XvfbOptions{.windowManager = true});
    ASSERT_TRUE(start(display));
    EXPECT_TRUE(system->isAccessibilityTrusted());
}

TEST_F(X11WindowSystemTest, DescribesWhatClientsClaimSafely) {
    ORVANTA_REQUIRE_XVFB(testing::XvfbOptions{.windowManager = true});
    ASSERT_TRUE(start(display));
    const auto self = getpid();
    auto plain = managed(spec("Grüße", self, [](auto& s) { s.className = "Plain"; }));
    auto latin = managed(spec("", self, [](auto& s) {
        s.rawTitle = "bad \xff\xfe utf8";
        s.latin1Name = "caf\xe9";
    }));
    // Window managers may decline such a client; the description needs none.
    auto init = windows->create(spec("init", 1, [](auto& s) { s.instance = s.className = ""; }));
    auto claimed = system->windowDescription(init).value();
    EXPECT_FALSE(claimed.ownerPid);
    EXPECT_FALSE(claimed.ownerName);
    auto dialog = managed(spec("ask", self, [](auto& s) { s.dialog = true; }));

    auto first = listed(plain).value();
    EXPECT_EQ(first.ownerPid, self);
    EXPECT_EQ(first.ownerName, "Plain");
    EXPECT_EQ(first.title, "Grüße");
    EXPECT_EQ(first.layer, 0);
    EXPECT_TRUE(first.onScreen);
    ASSERT_TRUE(first.bounds);
    EXPECT_GE(first.bounds->width, 640);  // the frame includes the decorations
    EXPECT_GE(first.bounds->height, 480);
    // What the application draws lies inside, below the title bar.
    ASSERT_TRUE(first.content);
    EXPECT_EQ(first.content->width, 640);
    EXPECT_EQ(first.content->height, 480);
    EXPECT_GT(first.content->y, first.bounds->y);
    EXPECT_GE(first.content->x, first.bounds->x);
    EXPECT_LE(first.content->x + 640, first.bounds->x + first.bounds->width);
    EXPECT_LE(first.content->y + 480, first.bounds->y + first.bounds->height);

    auto second = listed(latin).value();
    EXPECT_EQ(second.title, "café");
    EXPECT_NE(listed(dialog)->layer, 0);
    EXPECT_EQ(system->copyAttribute({self, dialog}, "AXSubrole"), AXValue(std::string("AXDialog")));
}

// Plain X programs name no process in _NET_WM_PID; the X server knows theirs.
TEST_F(X11WindowSystemTest, AWindowWithoutItsPidBelongsToItsClientsProcess) {
    ORVANTA_REQUIRE_XVFB(testing::XvfbOptions{.windowManager = true});
    ASSERT_TRUE(start(display));
    const auto child = testing::startChild({.argv = {"xmessage", "-geometry", "300x200", "plain client"},
                                            .extraEnvironment = {"DISPLAY=" + display},
                                            .logPath = {}});
    ASSERT_TRUE(child) << child.error();
    std::optional<WindowDescription> plain;
    windows->waitUntil([&] {
        for (const auto& description : system->windowList(true).value_or(std::vector<WindowDescription>{})) {
            if (description.ownerName == "Xmessage") plain = description;
        }
        return plain.has_value();
    });
    testing::stopChild(*child);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->ownerPid, *child);
}

TEST_F(X11WindowSystemTest, VanishedWindowsAreInvalidElements) {
    ORVANTA_REQUIRE_XVFB(testing::XvfbOptions{.windowManager = true});
    ASSERT_TRUE(start(display));
    const auto self = getpid();
    auto window = managed(spec("gone", self));
    EXPECT_TRUE(system->copyAttribute({self, window}, "AXPosition"));
    EXPECT_EQ(system->copyAttribute({self + 1, window}, "AXPosition"), std::unexpected(AXError::invalidUIElement));
    windows->destroy(window);
    ASSERT_TRUE(windows->waitUntil([&] { return !windows->managed(window); }));
    EXPECT_EQ(system->copyAttribute({self, window}, "AXSize"), std::unexpected(AXError::invalidUIElement));
    EXPECT_EQ(system->setAttribute({self, window}, "AXPosition", Point{1, 1}), AXError::invalidUIElement);
    EXPECT_EQ(system->performAction({self, window}, "AXRaise"), AXError::invalidUIElement);
    EXPECT_FALSE(system->windowDescription(window));
    EXPECT_FALSE(listed(window));
}

TEST(X11WindowIconTest, TakesTheFittingWholeEntry) {
    auto icon = [](std::uint32_t side, std::uint32_t fill) {
        std::vector<std::uint32_t> out{side, side};
        out.resize(2 + side * side, fill);
        return out;
    };
    auto join = [](std::vector<std::vector<std::uint32_t>> parts) {
        std::vector<std::uint32_t> out;
        for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
        return out;
    };
    struct Case {
        const char* what;
        std::vector<std::uint32_t> values;
        int side;  // 0 for none
    };
    const std::vector<Case> cases = {
        {"empty", {}, 0},
        {"a claim larger than the data", {100000, 100000, 0xff0000ff}, 0},
        {"a claim whose area overflows", {0xffffffff, 0xffffffff, 1}, 0},
        {"zero sized", {0, 5}, 0},
        {"largest up to 256", join({icon(16, 1), icon(64, 2), icon(32, 3)}), 64},
        {"smallest above 256", join({icon(512, 1), icon(300, 2)}), 300},
        {"a whole entry before a truncated one", join({icon(8, 1), {64, 64, 5}}), 8},
        {"too large a side", join({icon(2, 1), {2048, 1}}), 2},
    };
    for (const auto& c : cases) {
        auto best = bestIcon(c.values);
        EXPECT_EQ(best ? best->width : 0, c.side) << c.what;
        if (best) {
            EXPECT_EQ(best->argb.size(), std::size_t(c.side * c.side)) << c.what;
        }
    }
}

TEST_F(X11WindowSystemTest, WindowIconComesFromTheApplicationsWindow) {
    ORVANTA_REQUIRE_XVFB(testing::XvfbOptions{.windowManager = true});
    ASSERT_TRUE(start(display));
    std::vector<std::uint32_t> pixels{4, 4};
    pixels.resize(18, 0xff00ff00);
    managed(spec("icon", getpid(), [&](auto& s) { s.icon = pixels; }));
    auto icon = system->applicationIcon(getpid());
    ASSERT_TRUE(icon);
    EXPECT_EQ(icon->argb, std::vector<std::uint32_t>(16, 0xff00ff00));
    EXPECT_FALSE(system->applicationIcon(getpid() + 1));
}

}  // namespace
}  // namespace orvanta::platform::x11
