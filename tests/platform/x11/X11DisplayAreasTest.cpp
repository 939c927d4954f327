#include "platform/x11/X11DisplayAreas.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/TempDir.h"
#include "support/X11TestDesktop.h"
#include "support/X11TestWindows.h"

namespace orvanta::platform::x11 {
namespace {

constexpr DisplayBounds kScreen{0, 0, 1920, 1080};
constexpr DisplayBounds kVirtual{1920, 0, 1280, 800};

// Without a window manager nothing is reserved: a display's work area is all of it. The host's own
// display is listed and marked; a display that is not there has no area.
TEST(X11DisplayAreasTest, ListsTheDisplaysAndTheirAreasWithTheHostsMarked) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    testing::TempDir dir;
    auto areas = X11DisplayAreas::open(desktop.server->display());
    ASSERT_TRUE(areas) << areas.error();
    const auto physical = (*areas)->activeDisplays();
    ASSERT_EQ(physical.size(), 1u);
    EXPECT_EQ(physical[0].bounds, kScreen);
    EXPECT_FALSE(physical[0].ownVirtual);
    EXPECT_EQ((*areas)->workArea(physical[0].id), (DisplayWorkArea{kScreen, kScreen}));

    auto factory = X11VirtualDisplayFactory::open(desktop.server->display(), dir.path() / "randr.json");
    ASSERT_TRUE(factory) << factory.error();
    const auto made = (*factory)->create({std::string(kVirtualDisplayMark), {1280, 800}, {{1280, 800}}, 60});
    ASSERT_TRUE(made) << made.error();
    const auto listed = (*areas)->activeDisplays();
    EXPECT_TRUE(std::ranges::any_of(listed, [&](const ArrangedDisplay& d) { return d.id == *made && d.ownVirtual; }));
    EXPECT_EQ((*areas)->workArea(*made), (DisplayWorkArea{kVirtual, kVirtual}));
    for (const std::uint32_t absent : {0u, *made + 1000}) EXPECT_EQ((*areas)->workArea(absent), std::nullopt);
    (*factory)->release(*made);
    EXPECT_EQ((*areas)->workArea(*made), std::nullopt);
}

// The window manager's work area spans the desktop; each display gets its own part of it.
TEST(X11DisplayAreasTest, AWorkAreaLeavesOutATopPanelOnTheDisplayItSitsOn) {
    ORVANTA_REQUIRE_X11_DESKTOP(1920, 1080, 4096, 2048, true);
    testing::TempDir dir;
    auto areas = X11DisplayAreas::open(desktop.server->display());
    auto windows = testing::X11TestWindows::open(desktop.server->display());
    auto factory = X11VirtualDisplayFactory::open(desktop.server->display(), dir.path() / "randr.json");
    ASSERT_TRUE(areas && windows && factory);
    const auto screen = (*areas)->activeDisplays().at(0).id;
    const auto made = (*factory)->create({std::string(kVirtualDisplayMark), {1280, 800}, {{1280, 800}}, 60});
    ASSERT_TRUE(made) << made.error();

    (*windows)->addTopPanel(1920, 28);
    const DisplayWorkArea expected{kScreen, {0, 28, 1920, 1052}};
    EXPECT_TRUE((*windows)->waitUntil([&] { return (*areas)->workArea(screen) == expected; }))
        << (*areas)->workArea(screen).value().visible.y;
    const auto beside = (*areas)->workArea(*made).value();
    EXPECT_EQ(beside.frame, kVirtual);
    EXPECT_EQ(beside.visible.x, kVirtual.x);
    EXPECT_LE(beside.visible.y + beside.visible.height, kVirtual.y + kVirtual.height);
    (*factory)->release(*made);
}

}  // namespace
}  // namespace orvanta::platform::x11
