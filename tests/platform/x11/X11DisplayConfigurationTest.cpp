#include <gtest/gtest.h>

#include <algorithm>

#include "platform/x11/X11VirtualDisplay.h"
#include "platform/x11/X11WindowSystem.h"
#include "support/TempDir.h"
#include "support/X11TestDesktop.h"
#include "support/X11TestWindows.h"

namespace orvanta::platform::x11 {
namespace {

std::string describe(const std::optional<Rect>& frame) {
    if (!frame) return "no frame";
    return "(" + std::to_string(frame->x) + ", " + std::to_string(frame->y) + ", " + std::to_string(frame->width) +
           ", " + std::to_string(frame->height) + ")";
}

using Step = DisplayConfigurationError::Step;

TEST(X11DisplayConfigurationTest, MovesTheHostsDisplayToTheOriginAndMakesItMain) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    testing::TempDir dir;
    auto configuration = X11DisplayConfiguration::open(desktop.server->display());
    ASSERT_TRUE(configuration) << configuration.error();
    auto& arrangement = **configuration;
    const auto physical = arrangement.activeDisplays();
    ASSERT_EQ(physical.size(), 1u);
    EXPECT_EQ(physical[0].bounds, (DisplayBounds{0, 0, 1920, 1080}));
    EXPECT_FALSE(physical[0].ownVirtual);
    const std::uint32_t main = physical[0].id;
    EXPECT_EQ(arrangement.mainDisplay(), main);

    // Nothing left of or above the screen's origin, and only displays that exist.
    EXPECT_EQ(arrangement.setOrigins({{main, -1, 0}}),
              std::unexpected(DisplayConfigurationError{Step::origin, main, 8}));
    EXPECT_EQ(arrangement.setOrigins({{12345, 0, 0}}),
              std::unexpected(DisplayConfigurationError{Step::origin, 12345, 8}));

    auto factory = X11VirtualDisplayFactory::open(desktop.server->display(), dir.path() / "randr.json");
    ASSERT_TRUE(factory) << factory.error();
    const auto made = (*factory)->create({std::string(kVirtualDisplayMark), {1280, 800}, {{1280, 800}}, 60});
    ASSERT_TRUE(made) << made.error();
    const auto listed = arrangement.activeDisplays();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_TRUE(std::ranges::any_of(listed, [&](const ArrangedDisplay& d) { return d.id == *made && d.ownVirtual; }));

    ASSERT_TRUE(arrangement.setOrigins({{*made, 0, 0}, {main, 1280, 0}}));
    EXPECT_EQ(arrangement.mainDisplay(), *made);
    ASSERT_TRUE(arrangement.setOrigins({{main, 0, 0}, {*made, 1920, 0}}));
    EXPECT_EQ(arrangement.mainDisplay(), main);
    (*factory)->release(*made);
    EXPECT_EQ(arrangement.activeDisplays(), physical);
}

// Windows are on a display, not at a place on the screen: moving the display moves them along.
TEST(X11DisplayConfigurationTest, ADisplaysWindowsMoveWithIt) {
    ORVANTA_REQUIRE_X11_DESKTOP(1920, 1080, 8192, 4096, true);
    testing::TempDir dir;
    auto configuration = X11DisplayConfiguration::open(desktop.server->display());
    auto system = X11WindowSystem::open(desktop.server->display());
    auto windows = testing::X11TestWindows::open(desktop.server->display());
    ASSERT_TRUE(configuration && system && windows);
    auto& arrangement = **configuration;
    const std::uint32_t main = arrangement.mainDisplay();
    const auto frameOf = [&](xcb_window_t window) { return (*system)->windowDescription(window).value().bounds; };
    const auto placed = [&](xcb_window_t window, double x, double y) {
        return (*windows)->waitUntil([&] {
            const auto frame = frameOf(window);
            return frame && frame->x == x && frame->y == y;
        });
    };
    testing::TestWindowSpec spec;
    spec.pid = getpid();
    const auto window = (*windows)->create(spec);
    ASSERT_TRUE((*windows)->waitManaged(window));
    const AXElement element{static_cast<std::int32_t>(getpid()), window};
    ASSERT_EQ((*system)->setAttribute(element, "AXPosition", Point{900, 500}), 0);
    ASSERT_TRUE(placed(window, 900, 500)) << describe(frameOf(window));

    auto factory = X11VirtualDisplayFactory::open(desktop.server->display(), dir.path() / "randr.json");
    ASSERT_TRUE(factory) << factory.error();
    const auto made = (*factory)->create({std::string(kVirtualDisplayMark), {1280, 800}, {{1280, 800}}, 60});
    ASSERT_TRUE(made) << made.error();
    ASSERT_TRUE(arrangement.setOrigins({{*made, 0, 0}, {main, 1280, 0}}));
    EXPECT_TRUE(placed(window, 2180, 500)) << describe(frameOf(window));
    ASSERT_TRUE(arrangement.setOrigins({{main, 0, 0}, {*made, 1920, 0}}));
    EXPECT_TRUE(placed(window, 900, 500)) << describe(frameOf(window));
    (*factory)->release(*made);
}

}  // namespace
}  // namespace orvanta::platform::x11
