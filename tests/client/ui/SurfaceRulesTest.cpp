#include "client/ui/SurfaceRules.h"

#include <gtest/gtest.h>

#include <cmath>

namespace orvanta::client {
namespace {

TEST(SurfaceRulesTest, VideoRectFitsOrFillsTheView) {
    const struct {
        const char* name;
        Rect bounds;
        StreamSize stream;
        bool immersive;
        Rect expected;
    } cases[] = {
        {"wider view: bars left and right", {0, 0, 1000, 400}, {1600, 800}, false, {100, 0, 800, 400}},
        {"taller view: bars above and below", {0, 0, 800, 800}, {1600, 800}, false, {0, 200, 800, 400}},
        {"immersive overflows left and right", {0, 0, 800, 800}, {1600, 800}, true, {-400, 0, 1600, 800}},
        {"zero stream counts as 16 x 9", {0, 0, 1600, 1600}, {0, 0}, false, {0, 350, 1600, 900}},
        {"empty bounds", {0, 0, 0, 500}, {1600, 800}, false, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(videoRect(c.bounds, c.stream, c.immersive), c.expected) << c.name;
}

TEST(SurfaceRulesTest, NormalisesIntoTheVisibleVideo) {
    const Rect bounds{0, 0, 1000, 400};
    const Rect fit{100, 0, 800, 400};
    EXPECT_EQ(normalized(500, 100, bounds, fit, false), (NormalizedPoint{0.5, 0.25}));
    EXPECT_EQ(normalized(50, 100, bounds, fit, false), std::nullopt) << "a letterbox bar";
    EXPECT_EQ(normalized(50, 100, bounds, fit, true), (NormalizedPoint{0, 0.25})) << "a drag leaving the video";
    EXPECT_EQ(normalized(950, 500, bounds, fit, true), (NormalizedPoint{1, 1}));
    EXPECT_EQ(normalized(5, 5, bounds, {}, true), std::nullopt);

    // Immersive: the view's left edge lies inside the picture.
    const Rect fill = videoRect({0, 0, 800, 800}, {1600, 800}, true);
    const auto edge = normalized(0, 400, {0, 0, 800, 800}, fill, false);
    ASSERT_TRUE(edge);
    EXPECT_DOUBLE_EQ(edge->x, 0.25);
}

TEST(SurfaceRulesTest, WheelTurnsBecomeLinesOfSixteen) {
    const struct {
        int x, y;
        std::optional<ScrollAmount> expected;
    } cases[] = {
        {0, 120, ScrollAmount{0, 16}},    // one notch away from the user: up, as the host's button 4
        {0, -120, ScrollAmount{0, -16}},  // towards the user
        {120, 0, ScrollAmount{16, 0}},    // left, as the host's button 6
        {0, 60, ScrollAmount{0, 8}},      // half a notch from a smooth wheel
        {0, 120 * 40, ScrollAmount{0, 500}}, {-120 * 40, 0, ScrollAmount{-500, 0}}, {0, 0, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(wheelScroll(c.x, c.y), c.expected) << c.x << "," << c.y;
}

TEST(SurfaceRulesTest, CursorScaleStepsOfAQuarter) {
    const std::pair<double, double> cases[] = {{0.3, 0.5},    {0.5, 0.5}, {1.1, 1.0},      {1.9, 2.0}, {3, 2.0},
                                               {1.125, 1.25}, {NAN, 1.0}, {INFINITY, 1.0}, {-2, 0.5}};
    for (const auto& [scale, expected] : cases) EXPECT_EQ(quantizedCursorScale(scale), expected) << scale;
}

TEST(SurfaceRulesTest, CountsClicksOfOneButtonCloseInTimeAndPlace) {
    ClickCounter counter;
    const auto press = [&](Qt::MouseButton button, double x, std::uint64_t at) {
        return counter.press(button, x, 10, at, 400, 5);
    };
    EXPECT_EQ(press(Qt::LeftButton, 10, 1000), 1);
    EXPECT_EQ(press(Qt::LeftButton, 12, 1300), 2);
    EXPECT_EQ(press(Qt::LeftButton, 12, 1600), 3) << "a third click continues the count";
    EXPECT_EQ(press(Qt::LeftButton, 12, 2100), 1) << "too late";
    EXPECT_EQ(press(Qt::LeftButton, 30, 2200), 1) << "too far";
    EXPECT_EQ(press(Qt::RightButton, 30, 2300), 1) << "another button";
    EXPECT_EQ(press(Qt::LeftButton, 30, 2400), 1);
}

TEST(SurfaceRulesTest, LocalShortcutsMatchTheirModifiersExactly) {
    const Qt::KeyboardModifiers ctrl = Qt::ControlModifier, super = Qt::MetaModifier, shift = Qt::ShiftModifier;
    const struct {
        Qt::KeyboardModifiers modifiers;
        int key;
        bool immersive;
        LocalShortcut expected;
    } cases[] = {
        {ctrl | super, Qt::Key_F, false, LocalShortcut::toggleFullScreen},
        {ctrl | super | shift, Qt::Key_F, false, LocalShortcut::none},
        {ctrl, Qt::Key_F, false, LocalShortcut::none},
        {Qt::NoModifier, Qt::Key_Escape, true, LocalShortcut::toggleFullScreen},
        {Qt::NoModifier, Qt::Key_Escape, false, LocalShortcut::none},
        {shift, Qt::Key_Escape, true, LocalShortcut::none},
        {ctrl, Qt::Key_Comma, false, LocalShortcut::openSettings},
        {ctrl | Qt::KeypadModifier, Qt::Key_Comma, false, LocalShortcut::openSettings},
        {ctrl | Qt::AltModifier, Qt::Key_Comma, false, LocalShortcut::none},
        {ctrl | shift, Qt::Key_N, false, LocalShortcut::focusNavigation},
        {ctrl, Qt::Key_N, false, LocalShortcut::none},
        {ctrl, Qt::Key_Q, false, LocalShortcut::none},
        {ctrl, Qt::Key_W, false, LocalShortcut::none},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(localShortcut(c.modifiers, c.key, c.immersive), c.expected)
            << c.modifiers.toInt() << " " << c.key << " " << c.immersive;
    }
    EXPECT_TRUE(actsOnRepeat(LocalShortcut::openSettings));
    EXPECT_FALSE(actsOnRepeat(LocalShortcut::toggleFullScreen));
    EXPECT_FALSE(actsOnRepeat(LocalShortcut::focusNavigation));
}

}  // namespace
}  // namespace orvanta::client
