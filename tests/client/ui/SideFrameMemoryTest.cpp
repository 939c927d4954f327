// The window's frame rules, with the worked examples turned to a top-left origin: a frame's top is
// its smallest y, and "moving up" makes y smaller.
#include "client/ui/SideFrameMemory.h"

#include <gtest/gtest.h>

namespace orvanta::client {
namespace {

const platform::Rect kVisible{0, 25, 1440, 875};  // a 1440 x 900 screen less a 25-point bar at the top

struct Placement {
    const char* what;
    Size size;
    Point topLeft;
    std::optional<platform::Rect> visible;
    platform::Rect expected;
};

TEST(SideFrameMemoryTest, PlacesFramesOnTheVisibleScreenWithLeftEdgeAndTopWinning) {
    const Placement cases[] = {
        {"no screen: unchanged", {800, 600}, {2000, -50}, std::nullopt, {2000, -50, 800, 600}},
        {"a screen without area: unchanged",
         {800, 600},
         {2000, -50},
         platform::Rect{0, 0, 0, 900},
         {2000, -50, 800, 600}},
        {"fits: unchanged", {1280, 788}, {100, 60}, kVisible, {100, 60, 1280, 788}},
        {"runs off the right: moves left", {800, 600}, {1000, 100}, kVisible, {640, 100, 800, 600}},
        {"wider than the screen: cut, at its left edge", {2000, 600}, {300, 100}, kVisible, {0, 100, 1440, 600}},
        {"left of the screen: moves right", {800, 600}, {-40, 100}, kVisible, {0, 100, 800, 600}},
        {"below the bottom: moves up", {800, 600}, {100, 500}, kVisible, {100, 300, 800, 600}},
        {"above the top: moves down", {800, 600}, {100, 0}, kVisible, {100, 25, 800, 600}},
        {"taller than the screen: cut, at its top", {800, 1000}, {100, 100}, kVisible, {100, 25, 800, 875}},
        {"first client frame, chrome 0 x 28, on a small screen",
         {1280, 788},
         {100, 60},
         platform::Rect{0, 25, 1280, 775},
         {0, 25, 1280, 775}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SideFrameMemory::placedFrame(c.size, c.topLeft, c.visible), c.expected) << c.what;
    }
}

struct Target {
    const char* what;
    WindowSide side;
    std::map<WindowSide, Size> remembered;
    Size chrome;
    std::optional<Size> hostContent;
    std::optional<Size> hostDefault;
    std::optional<Size> expected;
};

TEST(SideFrameMemoryTest, GivesEachSideItsRememberedOrDefaultSizeAtLeastItsMinimum) {
    const Size chrome{0, 28};
    const Size hostMinimum{360, 300};
    const Size hostDefault{760, 520};
    const Target cases[] = {
        {"client, first time", WindowSide::client, {}, chrome, hostMinimum, hostDefault, Size{1280, 788}},
        {"client, remembered",
         WindowSide::client,
         {{WindowSide::client, {1000, 700}}},
         chrome,
         {},
         {},
         Size{1000, 700}},
        {"client, remembered below the minimum",
         WindowSide::client,
         {{WindowSide::client, {300, 200}}},
         chrome,
         {},
         {},
         Size{360, 328}},
        {"host, first time", WindowSide::host, {}, chrome, hostMinimum, hostDefault, Size{760, 548}},
        {"host, no default: the content size", WindowSide::host, {}, chrome, hostMinimum, {}, Size{360, 328}},
        {"host, remembered below the minimum",
         WindowSide::host,
         {{WindowSide::host, {400, 200}}},
         chrome,
         hostMinimum,
         hostDefault,
         Size{400, 328}},
        {"host, no content size, nothing remembered", WindowSide::host, {}, chrome, {}, hostDefault, std::nullopt},
        {"host, empty content size, remembered",
         WindowSide::host,
         {{WindowSide::host, {500, 400}}},
         chrome,
         Size{0, 300},
         hostDefault,
         Size{500, 400}},
    };
    for (const auto& c : cases) {
        SideFrameMemory memory;
        memory.frameSizes = c.remembered;
        EXPECT_EQ(memory.targetFrameSize(c.side, c.chrome, c.hostContent, c.hostDefault), c.expected) << c.what;
    }
}

TEST(SideFrameMemoryTest, LeavingASideRemembersItsSizeAndZoom) {
    SideFrameMemory memory;
    memory.leave(WindowSide::client, Size{1000, 700}, false);
    memory.leave(WindowSide::client, std::nullopt, true);
    EXPECT_EQ(memory.frameSizes.at(WindowSide::client), (Size{1000, 700})) << "a zoomed side without a size keeps it";
    EXPECT_TRUE(memory.zoomedSides.contains(WindowSide::client));
    memory.leave(WindowSide::client, Size{0, 700}, false);
    EXPECT_EQ(memory.frameSizes.at(WindowSide::client), (Size{1000, 700})) << "an empty size is not taken";
    EXPECT_FALSE(memory.zoomedSides.contains(WindowSide::client));
}

}  // namespace
}  // namespace orvanta::client
