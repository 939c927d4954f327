#include "platform/x11/X11Compositor.h"

#include <gtest/gtest.h>

#include <xcb/shape.h>

#include <functional>

#include "support/X11TestDesktop.h"

namespace orvanta::platform::x11 {
namespace {

constexpr DisplayBounds kScreen{0, 0, 1920, 1080};

std::vector<std::uint32_t> pixelsOf(const ComposedImage& image) {
    std::vector<std::uint32_t> result;
    result.reserve(static_cast<std::size_t>(image.width) * image.height);
    for (int y = 0; y < image.height; ++y) {
        const auto* row =
            reinterpret_cast<const std::uint32_t*>(image.pixels + static_cast<std::ptrdiff_t>(y) * image.stride);
        for (int x = 0; x < image.width; ++x) result.push_back(row[x] & 0xFFFFFF);
    }
    return result;
}

// Counts differing pixels, so a failure says how far apart the pictures are instead of dumping them.
std::size_t differences(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    if (a.size() != b.size()) return std::max(a.size(), b.size());
    std::size_t n = 0;
    for (std::size_t i = 0; i < a.size(); ++i) n += a[i] != b[i] ? 1 : 0;
    return n;
}

class X11CompositorTest : public ::testing::Test {
protected:
    // A desktop of overlapping windows of known colours over a solid background.
    void populate(testing::X11TestDesktop& desktop) {
        desktop.setBackground(0x205080);
        windows_ = {desktop.window(100, 100, 600, 400, 0xCC2222), desktop.window(400, 300, 700, 500, 0x22CC22),
                    desktop.window(1500, 800, 600, 400, 0x2222CC),  // partly off screen
                    desktop.window(-50, -50, 200, 200, 0xEEEE00)};
    }

    std::vector<xcb_window_t> windows_;
};

TEST_F(X11CompositorTest, TheComposedPictureEqualsAPlainGrabThroughEveryChange) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    populate(desktop);
    auto compositor = X11Compositor::open(desktop.server->display());
    ASSERT_TRUE(compositor) << compositor.error();
    auto* c = desktop.x->get();
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    const std::uint32_t below = XCB_STACK_MODE_BELOW;
    const std::uint32_t moved[] = {800, 50};
    const std::uint32_t resized[] = {300, 900};
    xcb_window_t late = XCB_NONE;
    const std::vector<std::pair<std::string, std::function<void()>>> changes = {
        {"start", [] {}},
        {"raise", [&] { xcb_configure_window(c, windows_[0], XCB_CONFIG_WINDOW_STACK_MODE, &above); }},
        {"lower", [&] { xcb_configure_window(c, windows_[0], XCB_CONFIG_WINDOW_STACK_MODE, &below); }},
        {"move", [&] { xcb_configure_window(c, windows_[0], XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, moved); }},
        {"resize",
         [&] { xcb_configure_window(c, windows_[1], XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, resized); }},
        {"paint", [&] { desktop.paint(windows_[2], 0x8844AA); }},
        {"shape",
         [&] {
             const xcb_rectangle_t parts[] = {{0, 0, 100, 100}, {200, 50, 80, 300}};
             xcb_shape_rectangles(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, XCB_CLIP_ORDERING_UNSORTED, windows_[1],
                                  0, 0, 2, parts);
         }},
        {"unmap", [&] { xcb_unmap_window(c, windows_[3]); }},
        {"map again", [&] { xcb_map_window(c, windows_[3]); }},
        {"new window", [&] { late = desktop.window(900, 500, 100, 100, 0x00FFFF); }},
        {"destroy", [&] { xcb_destroy_window(c, late); }},
        {"background", [&] { desktop.setBackground(0x777777); }},
        {"full screen on top", [&] { late = desktop.window(0, 0, 1920, 1080, 0x123456); }},
        {"paint beneath it", [&] { desktop.paint(windows_[2], 0x00AA00); }},
        {"full screen gone", [&] { xcb_destroy_window(c, late); }},
    };
    for (const auto& [name, change] : changes) {
        SCOPED_TRACE(name);
        change();
        desktop.sync();
        // Every change is news, also those beneath a window over everything.
        if (name != "start") {
            EXPECT_TRUE((*compositor)->takeChanges());
        }
        const auto image = (*compositor)->compose(kScreen);
        ASSERT_TRUE(image) << image.error();
        EXPECT_TRUE(image->changed);
        EXPECT_EQ(differences(pixelsOf(*image), desktop.pixels(0, 0, 1920, 1080)), 0u);
    }
    // Nothing happened since: nothing is drawn or read again.
    EXPECT_FALSE((*compositor)->takeChanges());
    const auto still = (*compositor)->compose(kScreen);
    ASSERT_TRUE(still);
    EXPECT_FALSE(still->changed);
}

TEST_F(X11CompositorTest, ComposesAnyAreaAndLeavesExcludedWindowsOut) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    populate(desktop);
    auto compositor = X11Compositor::open(desktop.server->display());
    ASSERT_TRUE(compositor);
    const DisplayBounds area{300, 200, 640, 360};
    const auto before = desktop.pixels(300, 200, 640, 360);
    const xcb_window_t cover = desktop.window(0, 0, 1920, 1080, 0x000000);
    (*compositor)->setExcluded({cover});
    const auto image = (*compositor)->compose(area);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 640);
    EXPECT_EQ(differences(pixelsOf(*image), before), 0u);
    EXPECT_EQ(desktop.pixels(310, 210, 1, 1), std::vector<std::uint32_t>{0});  // the screen itself is covered

    (*compositor)->setExcluded({});
    const auto covered = (*compositor)->compose(area);
    ASSERT_TRUE(covered);
    EXPECT_EQ(pixelsOf(*covered), std::vector<std::uint32_t>(640 * 360, 0));
}

TEST_F(X11CompositorTest, AWindowReadsItsOwnPixelsEvenWhenCovered) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    populate(desktop);
    auto compositor = X11Compositor::open(desktop.server->display());
    ASSERT_TRUE(compositor);
    desktop.window(0, 0, 1920, 1080, 0x000000);
    const auto image = (*compositor)->composeWindow(windows_[0]);
    ASSERT_TRUE(image) << image.error();
    EXPECT_EQ(image->width, 600);
    EXPECT_EQ(image->height, 400);
    EXPECT_EQ(pixelsOf(*image), std::vector<std::uint32_t>(600 * 400, 0xCC2222));
    EXPECT_FALSE((*compositor)->composeWindow(0x7FFFFF));
    // Unchanged until the window draws, whatever else happens on the screen.
    desktop.paint(windows_[1], 0x123456);
    EXPECT_FALSE((*compositor)->composeWindow(windows_[0])->changed);
    desktop.paint(windows_[0], 0x654321);
    const auto painted = (*compositor)->composeWindow(windows_[0]);
    ASSERT_TRUE(painted);
    EXPECT_TRUE(painted->changed);
    EXPECT_EQ(pixelsOf(*painted), std::vector<std::uint32_t>(600 * 400, 0x654321));

    // A client inside a frame, as a window manager keeps it, reads from the frame's pixmap.
    auto* c = desktop.x->get();
    const xcb_window_t frame = desktop.window(300, 300, 400, 300, 0x404040);
    const xcb_window_t client = xcb_generate_id(c);
    const std::uint32_t colour = 0x11AA55;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, client, frame, 10, 20, 100, 50, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL, &colour);
    xcb_map_window(c, client);
    desktop.sync();
    const auto inFrame = (*compositor)->composeWindow(client);
    ASSERT_TRUE(inFrame) << inFrame.error();
    EXPECT_EQ(pixelsOf(*inFrame), std::vector<std::uint32_t>(100 * 50, colour));
    // The display picture is drawn whole again afterwards.
    const auto screen = (*compositor)->compose(kScreen);
    ASSERT_TRUE(screen);
    EXPECT_EQ(pixelsOf(*screen)[0], 0u);
}

TEST_F(X11CompositorTest, WindowsVanishingBeforeTheyAreDrawnAreSkipped) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    populate(desktop);
    auto compositor = X11Compositor::open(desktop.server->display());
    ASSERT_TRUE(compositor);
    ASSERT_TRUE((*compositor)->compose(kScreen));
    // Another client makes and destroys windows at once: the compositor learns of them only
    // after they are gone, and its requests about them fail.
    for (int i = 0; i < 20; ++i) {
        const xcb_window_t w = desktop.window(static_cast<std::int16_t>(10 * i), 10, 50, 50, 0xFFFFFF);
        xcb_destroy_window(desktop.x->get(), w);
    }
    desktop.sync();
    for (int frame = 0; frame < 3; ++frame) {
        const auto image = (*compositor)->compose(kScreen);
        ASSERT_TRUE(image) << image.error();
        EXPECT_EQ(differences(pixelsOf(*image), desktop.pixels(0, 0, 1920, 1080)), 0u);
    }
    EXPECT_FALSE((*compositor)->compose({0, 0, 0, 10}));
}

}  // namespace
}  // namespace orvanta::platform::x11
