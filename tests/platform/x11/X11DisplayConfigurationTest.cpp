#include <gtest/gtest.h>

#include <algorithm>

#include "platform/x11/X11VirtualDisplay.h"
#include "support/TempDir.h"
#include "support/X11TestDesktop.h"

namespace orvanta::platform::x11 {
namespace {

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

}  // namespace
}  // namespace orvanta::platform::x11
