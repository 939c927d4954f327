#include "platform/x11/X11Cover.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xtest.h>

#include "platform/x11/X11Compositor.h"
#include "platform/x11/X11VirtualDisplay.h"
#include "support/TempDir.h"
#include "support/X11TestDesktop.h"

namespace orvanta::platform::x11 {
namespace {

constexpr DisplayBounds kScreen{0, 0, 1920, 1080};

std::vector<std::uint32_t> pixelsOf(const ComposedImage& image) {
    std::vector<std::uint32_t> result;
    for (int y = 0; y < image.height; ++y) {
        const auto* row =
            reinterpret_cast<const std::uint32_t*>(image.pixels + static_cast<std::ptrdiff_t>(y) * image.stride);
        for (int x = 0; x < image.width; ++x) result.push_back(row[x] & 0xFFFFFF);
    }
    return result;
}

bool allBlack(const std::vector<std::uint32_t>& pixels) {
    return std::all_of(pixels.begin(), pixels.end(), [](std::uint32_t p) { return p == 0; });
}

class X11CoverTest : public ::testing::Test {
protected:
    void populate(testing::X11TestDesktop& desktop) {
        desktop.setBackground(0x205080);
        red_ = desktop.window(100, 100, 600, 400, 0xCC2222);
        green_ = desktop.window(400, 300, 700, 500, 0x22CC22);
    }
    // The covers' own connection works on its own thread; a few round trips let it catch up.
    static bool eventually(testing::X11TestDesktop& desktop, const std::function<bool()>& done) {
        for (int i = 0; i < 2000; ++i) {
            if (done()) return true;
            desktop.sync();
        }
        return done();
    }
    static xcb_window_t topWindow(testing::X11TestDesktop& desktop) {
        Reply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(desktop.x->get(), xcb_query_tree(desktop.x->get(), desktop.x->root()), nullptr));
        const int n = xcb_query_tree_children_length(tree.get());
        return n > 0 ? xcb_query_tree_children(tree.get())[n - 1] : XCB_NONE;
    }

    xcb_window_t red_ = XCB_NONE;
    xcb_window_t green_ = XCB_NONE;
};

TEST_F(X11CoverTest, ACoverBlackensTheScreenWhileTheCaptureStillShowsTheDesktop) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    populate(desktop);
    const auto uncovered = desktop.pixels(0, 0, 1920, 1080);
    auto covers = X11BlackoutCovers::open(desktop.server->display());
    ASSERT_TRUE(covers) << covers.error();
    auto compositor = X11Compositor::open(desktop.server->display());
    ASSERT_TRUE(compositor);

    const auto screens = (*covers)->screens();
    ASSERT_EQ(screens.size(), 1u);
    EXPECT_EQ(screens[0].frame, kScreen);
    EXPECT_FALSE(screens[0].hostVirtualDisplay);

    const auto id = (*covers)->createCover(screens[0].frame);
    ASSERT_TRUE(id);
    EXPECT_TRUE((*covers)->usesOverlayWindow());
    EXPECT_EQ(desktop.pixels(0, 0, 1920, 1080), uncovered);  // invisible until revealed

    (*compositor)->setExcluded({*id});
    (*covers)->revealCover(*id);
    EXPECT_TRUE(eventually(desktop, [&] { return allBlack(desktop.pixels(0, 0, 1920, 1080)); }));
    auto image = (*compositor)->compose(kScreen);
    ASSERT_TRUE(image);
    EXPECT_EQ(pixelsOf(*image), uncovered);

    // A window drawing under the cover shows in the capture, and not on the screen.
    desktop.paint(red_, 0xFFFFFF);
    image = (*compositor)->compose(kScreen);
    ASSERT_TRUE(image);
    EXPECT_EQ(pixelsOf(*image)[150 * 1920 + 150], 0xFFFFFFu);
    EXPECT_EQ(desktop.pixels(150, 150, 1, 1), std::vector<std::uint32_t>{0});

    (*covers)->removeCover(*id);
    EXPECT_TRUE(eventually(desktop, [&] { return desktop.pixels(150, 150, 1, 1)[0] == 0xFFFFFF; }));
}

TEST_F(X11CoverTest, InjectedClicksPassThroughTheCover) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    populate(desktop);
    auto* c = desktop.x->get();
    const std::uint32_t mask = XCB_EVENT_MASK_BUTTON_PRESS;
    xcb_change_window_attributes(c, green_, XCB_CW_EVENT_MASK, &mask);
    auto covers = X11BlackoutCovers::open(desktop.server->display());
    ASSERT_TRUE(covers);
    const auto id = (*covers)->createCover(kScreen);
    ASSERT_TRUE(id);
    (*covers)->revealCover(*id);
    ASSERT_TRUE(eventually(desktop, [&] { return allBlack(desktop.pixels(800, 600, 4, 4)); }));

    xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, desktop.x->root(), 800, 600, XCB_NONE);
    xcb_test_fake_input(c, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, XCB_NONE);
    xcb_test_fake_input(c, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, XCB_NONE);
    desktop.sync();
    bool pressed = false;
    while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
        if ((event->response_type & 0x7F) == XCB_BUTTON_PRESS) {
            const auto* press = reinterpret_cast<const xcb_button_press_event_t*>(event.get());
            pressed = press->event == green_ && press->event_x == 400 && press->event_y == 300;
        }
    }
    EXPECT_TRUE(pressed);
}

TEST_F(X11CoverTest, CoversDieWithTheirProcess) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    populate(desktop);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto covers = X11BlackoutCovers::open(desktop.server->display());
        if (covers) {
            if (const auto id = (*covers)->createCover(kScreen)) (*covers)->revealCover(*id);
        }
        (void)!write(ready[1], "x", 1);
        pause();  // killed below, with the covers up
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_TRUE(eventually(desktop, [&] { return allBlack(desktop.pixels(800, 600, 1, 1)); }));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(eventually(desktop, [&] { return desktop.pixels(800, 600, 1, 1)[0] == 0x22CC22; }));
    close(ready[0]);
    close(ready[1]);
}

TEST_F(X11CoverTest, UnderACompositingManagerCoversAreWindowsKeptOnTop) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    populate(desktop);
    // Owning the manager's selection is what tells a compositing manager runs.
    auto* c = desktop.x->get();
    const xcb_window_t owner = desktop.window(-10, -10, 1, 1, 0);
    xcb_set_selection_owner(c, owner, desktop.x->atom("_NET_WM_CM_S0"), XCB_CURRENT_TIME);
    desktop.sync();

    auto covers = X11BlackoutCovers::open(desktop.server->display());
    ASSERT_TRUE(covers);
    const auto id = (*covers)->createCover(kScreen);
    ASSERT_TRUE(id);
    EXPECT_FALSE((*covers)->usesOverlayWindow());
    (*covers)->revealCover(*id);
    EXPECT_TRUE(eventually(desktop, [&] { return topWindow(desktop) == *id; }));
    EXPECT_TRUE(allBlack(desktop.pixels(800, 600, 4, 4)));

    // A popup mapped later goes under the cover again.
    desktop.window(700, 500, 300, 200, 0xFF00FF);
    EXPECT_TRUE(eventually(desktop, [&] { return topWindow(desktop) == *id; }));
    EXPECT_TRUE(eventually(desktop, [&] { return allBlack(desktop.pixels(800, 600, 4, 4)); }));

    // The compositing capture leaves the cover out here too.
    auto compositor = X11Compositor::open(desktop.server->display());
    ASSERT_TRUE(compositor);
    (*compositor)->setExcluded({*id});
    const auto image = (*compositor)->compose(kScreen);
    ASSERT_TRUE(image);
    EXPECT_EQ(pixelsOf(*image)[600 * 1920 + 800], 0xFF00FFu);
}

TEST_F(X11CoverTest, TheHostsVirtualDisplaysAreMarkedAndTheMainDisplayKeepsItsIdentity) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    testing::TempDir dir;
    auto vd = X11VirtualDisplayFactory::open(desktop.server->display(), dir.path() / "state.json");
    ASSERT_TRUE(vd);
    auto covers = X11BlackoutCovers::open(desktop.server->display());
    ASSERT_TRUE(covers);
    const auto mainBefore = (*covers)->screens();
    ASSERT_EQ(mainBefore.size(), 1u);
    const auto made = (*vd)->create({std::string(kVirtualDisplayMark), {1280, 720}, {{1280, 720}}, 60});
    ASSERT_TRUE(made) << made.error();
    auto screens = (*covers)->screens();
    std::sort(screens.begin(), screens.end(), [](const auto& a, const auto& b) { return a.frame.x < b.frame.x; });
    ASSERT_EQ(screens.size(), 2u);
    EXPECT_EQ(screens[0], mainBefore[0]);  // the spanned main display is still the same display
    EXPECT_TRUE(screens[1].hostVirtualDisplay);
    EXPECT_EQ(screens[1].displayID, *made);
}

}  // namespace
}  // namespace orvanta::platform::x11
