#include "host/desktop/WindowFollow.h"

#include <gtest/gtest.h>

#include "support/FakeIconRenderer.h"
#include "support/FakeWindowSystem.h"

namespace orvanta::host {
namespace {

using Ids = std::vector<std::uint32_t>;
using IdSet = std::set<std::uint32_t>;
constexpr std::uint32_t A = 1, B = 2, C = 3, D = 4;

struct HistoryCase {
    const char* what;
    Ids stack;
    IdSet previous;
    IdSet present;
    Ids eligible;
    std::optional<std::uint32_t> created;
    std::optional<std::uint32_t> focused;
    std::optional<std::uint32_t> follows;
    Ids stackAfter;
};

TEST(WindowFollowHistoryTest, DecidesWhichWindowToFollow) {
    const std::vector<HistoryCase> cases = {
        {"focus moves to another eligible window", {A}, {A, B}, {A, B}, {A, B}, {}, B, B, {A, B}},
        {"focus back again", {A, B}, {A, B}, {A, B}, {A, B}, {}, A, A, {B, A}},
        {"focus on a window that is not eligible", {A}, {A, B}, {A, B}, {A}, {}, B, A, {A}},
        {"focus on the followed window changes nothing", {A}, {A, B}, {A, B}, {A, B}, {}, A, A, {A}},
        {"focus while the followed window closed falls through", {A, B}, {A, B, C}, {A, C}, {A, C}, {}, C, A, {A}},
        {"a fresh window is followed", {A}, {A}, {A, B}, {A, B}, {}, {}, B, {A, B}},
        {"the created one among several fresh", {A}, {A}, {A, B, C}, {A, B, C}, C, {}, C, {A, C}},
        {"a created window that is not fresh is not followed", {A}, {A, B}, {A, B}, {A, B}, B, {}, A, {A}},
        {"created but not eligible: first fresh instead", {A}, {A}, {A, B, C}, {A, C}, B, {}, C, {A, C}},
        {"the followed window closes: highest eligible on the stack",
         {B, C, A},
         {A, B, C},
         {B, C},
         {B, C},
         {},
         {},
         C,
         {B, C}},
        {"closing pops windows no longer eligible", {B, C, A}, {A, B, C}, {B, C}, {B}, {}, {}, B, {B}},
        {"nothing left on the stack: first present eligible", {A}, {A, B, C}, {B, C}, {D, C, B}, {}, {}, C, {C}},
        {"nothing eligible at all", {A}, {A, B}, {B}, {}, {}, {}, std::nullopt, {}},
        {"followed but no longer eligible stays", {A}, {A, B}, {A, B}, {B}, {}, {}, A, {A}},
        {"an empty history takes the first fresh", {}, {}, {B, C}, {C, B}, {}, {}, C, {C}},
        {"an empty history with nothing fresh takes the first present eligible",
         {},
         {B, C},
         {B, C},
         {D, B},
         {},
         {},
         B,
         {B}},
    };
    for (const auto& c : cases) {
        WindowFollowHistory history{c.stack, c.previous};
        EXPECT_EQ(history.update(c.present, c.eligible, c.created, c.focused), c.follows) << c.what;
        EXPECT_EQ(history.stack, c.stackAfter) << c.what;
        EXPECT_EQ(history.previous, c.present) << c.what;
    }
}

TEST(WindowFollowHistoryTest, NewMeansAbsentAtThePreviousUpdate) {
    WindowFollowHistory history;
    EXPECT_TRUE(history.isNew(A));
    history.update({A}, {A}, {}, {});
    EXPECT_FALSE(history.isNew(A));
    EXPECT_TRUE(history.isNew(B));
}

class WindowFollowObserverTest : public ::testing::Test {
protected:
    testing::FakeWindowSystem system;
    testing::FakeIconRenderer icons;
    testing::ManualExecutor executor;
    WindowManager windows{system, icons, executor.clock(), [](std::string_view) {}};
    std::vector<WindowFollowObserver::Event> events;
    const WindowTarget target{"Edit", {42, std::nullopt}, {42, 8}, {0, 0, 500, 400}};

    std::unique_ptr<WindowFollowObserver> observe() {
        return WindowFollowObserver::create(system, windows, target, executor,
                                            [this](const auto& event) { events.push_back(event); });
    }
};

TEST_F(WindowFollowObserverTest, RegistersAndTranslatesNotifications) {
    using Kind = WindowFollowObserver::Event::Kind;
    system.windows = {{9, 42, "Edit", "", {0, 0, 500, 400}}, {8, 42, "Edit", "", {0, 0, 500, 400}}};
    auto follow = observe();
    ASSERT_TRUE(follow);
    ASSERT_TRUE(system.observer->started);
    EXPECT_EQ(system.observer->registered.size(), 3u);
    EXPECT_EQ(system.observer->registered[2], (std::pair<std::string, AXElement>{"AXUIElementDestroyed", {42, 8}}));

    system.windowIDErrors[11] = platform::AXError::invalidUIElement;
    system.observer->fire("AXWindowCreated", {42, 10});
    system.observer->fire("AXWindowCreated", {42, 11});
    system.observer->fire("AXFocusedWindowChanged", {42, 8});  // the application says 9 has focus
    system.appAttributeOverrides[{42, "AXFocusedWindow"}] = std::unexpected(platform::AXError::noValue);
    system.observer->fire("AXFocusedWindowChanged", {42, 8});
    system.observer->fire("AXUIElementDestroyed", {42, 8});
    system.observer->fire("AXTitleChanged", {42, 8});
    EXPECT_EQ(events, (std::vector<WindowFollowObserver::Event>{{Kind::created, 10},
                                                                {Kind::created, std::nullopt},
                                                                {Kind::focused, 9},
                                                                {Kind::focused, 8},
                                                                {Kind::destroyed, std::nullopt}}));
}

TEST_F(WindowFollowObserverTest, NotCreatedWhenEveryRegistrationFails) {
    for (auto name : {"AXFocusedWindowChanged", "AXWindowCreated"}) {
        system.refusedNotifications[name] = platform::AXError::failure;
    }
    EXPECT_TRUE(observe());
    system.refusedNotifications["AXUIElementDestroyed"] = platform::AXError::invalidUIElement;
    EXPECT_FALSE(observe());
}

}  // namespace
}  // namespace orvanta::host
