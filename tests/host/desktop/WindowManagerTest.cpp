#include "host/desktop/WindowManager.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <cmath>

#include "support/FakeIconRenderer.h"
#include "support/FakeWindowSystem.h"

namespace orvanta::host {
namespace {

using platform::Rect;
using platform::AXError::cannotComplete;
using platform::AXError::invalidUIElement;
using testing::FakeWindow;

constexpr std::int32_t kPid = 4242;

class WindowManagerTest : public ::testing::Test {
protected:
    testing::FakeWindowSystem system;
    testing::FakeIconRenderer icons;
    testing::ManualClock clock;
    std::vector<std::string> logLines;
    WindowManager manager{system, icons, clock, [this](std::string_view line) { logLines.emplace_back(line); }};

    void SetUp() override { system.clock = &clock; }
    static bool current() { return true; }
    AXElement element(std::uint32_t id, std::int32_t pid = kPid) { return {pid, id}; }
    std::string failureText(const std::expected<WindowTarget, ResolveError>& result) {
        EXPECT_FALSE(result.has_value());
        if (result || !std::holds_alternative<AXFailure>(result.error())) return "";
        return std::get<AXFailure>(result.error()).description;
    }
};

TEST(AXFailureTest, NamesCodesAndMarksOnlyTimeOuts) {
    struct Case {
        int code;
        const char* text;
        bool cannotComplete;
    };
    for (const auto& c : std::vector<Case>{{-25200, "AXSize=failure(-25200)", false},
                                           {-25201, "AXSize=illegalArgument(-25201)", false},
                                           {-25202, "AXSize=invalidUIElement(-25202)", false},
                                           {-25204, "AXSize=cannotComplete(-25204)", true},
                                           {-25205, "AXSize=attributeUnsupported(-25205)", false},
                                           {-25208, "AXSize=notImplemented(-25208)", false},
                                           {-25211, "AXSize=apiDisabled(-25211)", false},
                                           {-25212, "AXSize=noValue(-25212)", false},
                                           {-25203, "AXSize=AXError(-25203)", false}}) {
        EXPECT_EQ(AXFailure::fromCode("AXSize", c.code), (AXFailure{c.text, c.cannotComplete}));
    }
}

TEST(WindowGeometryTest, PrintsRectanglesAndMatchesWithinTwoPoints) {
    EXPECT_EQ(formatRect({10, 20, 800, 600}), "(10.0, 20.0, 800.0, 600.0)");
    EXPECT_EQ(formatRect({-0.5, 1.25, 0.1, 1e21}), "(-0.5, 1.25, 0.1, 1e+21)");
    const Rect base{100, 100, 400, 300};
    EXPECT_TRUE(framesMatch(base, {102, 98, 402, 298}));
    EXPECT_FALSE(framesMatch(base, {102.01, 100, 400, 300}));
    EXPECT_FALSE(framesMatch(base, {100, 100, 400, 297.99}));
}

TEST_F(WindowManagerTest, AspectWindowNeedsNumberOwnerAndBounds) {
    platform::WindowDescription full{7, kPid, std::nullopt, 0, Rect{1, 2, 3, 4}, "", true};
    EXPECT_EQ(WindowManager::aspectWindow(full), (AspectWindow{7, kPid, "アプリ", {1, 2, 3, 4}}));
    for (auto broken : {&platform::WindowDescription::number}) {
        auto copy = full;
        copy.*broken = std::nullopt;
        EXPECT_FALSE(WindowManager::aspectWindow(copy));
    }
    auto noPid = full;
    noPid.ownerPid.reset();
    auto noBounds = full;
    noBounds.bounds.reset();
    EXPECT_FALSE(WindowManager::aspectWindow(noPid));
    EXPECT_FALSE(WindowManager::aspectWindow(noBounds));
    EXPECT_FALSE(manager.contentBounds(0));
}

// A window manager's decorations are no part of a window's picture, but are of the frame its
// accessibility element reports.
TEST_F(WindowManagerTest, CaptureSeesTheContentWhileTargetsMatchTheFrame) {
    system.windows = {{8, kPid, "Edit", "", {10, 10, 502, 425}}};
    system.windows[0].content = Rect{11, 34, 500, 400};
    EXPECT_EQ(manager.contentBounds(8), (Rect{11, 34, 500, 400}));
    EXPECT_EQ(WindowManager::contentBounds(system, 8), (Rect{11, 34, 500, 400}));
    system.windowIDErrors[8] = cannotComplete;
    const auto target = manager.target(system.windowList(true).value().front(), true);
    ASSERT_TRUE(target);
    EXPECT_EQ(target->frame, (Rect{10, 10, 502, 425}));

    system.windows[0].content.reset();
    EXPECT_EQ(manager.contentBounds(8), (Rect{10, 10, 502, 425}));
}

TEST_F(WindowManagerTest, ListsKeepTheirOwnWindowsInServerOrder) {
    system.windows = {
        {1, kPid, "Edit", "a", {0, 0, 199, 500}},
        {2, kPid, "Edit", "b", {0, 0, 200, 120}},
        {3, kPid, "Edit", "c", {0, 0, 800, 600}, 3},            // a panel, not layer 0
        {4, kPid, "Edit", "d", {5000, 0, 800, 600}, 0, false},  // off screen
        {5, getpid(), "Us", "e", {0, 0, 800, 600}},             // the host itself
        {6, kPid, "Edit", "f", {0, 0, 0, 0}},                   // empty
        {7, 0, "Nobody", "g", {0, 0, 800, 600}},                // no process
    };
    auto ids = [](const std::optional<std::vector<AspectWindow>>& list) {
        std::vector<std::uint32_t> out;
        for (const auto& window : list.value()) out.push_back(window.id);
        return out;
    };
    EXPECT_EQ(ids(manager.aspectWindows()), (std::vector<std::uint32_t>{2, 7}));
    EXPECT_EQ(ids(manager.aspectEvacuationWindows()), (std::vector<std::uint32_t>{1, 2, 4}));
    EXPECT_EQ(manager.aspectWindow(4)->frame, (Rect{5000, 0, 800, 600}));
    EXPECT_FALSE(manager.aspectWindow(99));

    system.listAvailable = false;
    EXPECT_FALSE(manager.aspectWindows());
    EXPECT_FALSE(manager.aspectEvacuationWindows());
    EXPECT_TRUE(manager.openWindows().empty());
}

TEST_F(WindowManagerTest, OpenWindowsSortByComposedAppNameThenTitle) {
    system.windows = {
        {1, 10, "Zed", "", {0, 0, 300, 300}},
        {2, 11, "Cafe\u0301", "b", {0, 0, 300, 300}},  // decomposed: equal to the composed name
        {3, 11, "Café", "a", {0, 0, 300, 300}},
        {4, 12, "Editor", "", {0, 0, 119, 300}},  // too narrow to be selectable
        {5, 12, "Editor", "", {0, 0, 300, 300}},
        {6, 12, "Editor", "Notes", {0, 0, 300, 300}},
    };
    std::vector<std::uint32_t> order;
    for (const auto& window : manager.openWindows()) order.push_back(window.windowId);
    EXPECT_EQ(order, (std::vector<std::uint32_t>{3, 2, 5, 6, 1}));
}

TEST_F(WindowManagerTest, ResolvesByWindowIdFirst) {
    system.windows = {{8, kPid, "Edit", "", {10, 10, 500, 400}}, {9, kPid, "Edit", "", {20, 20, 500, 400}}};
    auto target = manager.resolveTarget(WindowOwner{kPid, std::nullopt}, "Edit", 9, {0, 0, 1, 1}, 0, false, current);
    ASSERT_TRUE(target);
    EXPECT_EQ(*target, (WindowTarget{"Edit", {kPid, std::nullopt}, element(9), {20, 20, 500, 400}}));
}

TEST_F(WindowManagerTest, ResolvesAnUnreadableIdByFrameWhenOnePeerAgrees) {
    system.windows = {{8, kPid, "Edit", "", {10, 10, 500, 400}}};
    system.windowIDErrors[8] = cannotComplete;
    auto target = manager.resolveTarget({kPid, std::nullopt}, "Edit", 8, {12, 8, 498, 402}, 0, false, current);
    ASSERT_TRUE(target);
    EXPECT_EQ(target->frame, (Rect{10, 10, 500, 400}));
    EXPECT_EQ(logLines, (std::vector<std::string>{"window fit: matched AX window by frame pid 4242 id 8"}));
}

TEST_F(WindowManagerTest, TwoFrameMatchesAreNoMatch) {
    system.windows = {{5, kPid, "Edit", "", {0, 0, 300, 200}},
                      {8, kPid, "Edit", "", {10, 10, 500, 400}},
                      {9, kPid, "Edit", "", {10, 10, 500, 400}}};
    system.windowIDErrors[8] = cannotComplete;
    system.windowIDErrors[9] = invalidUIElement;
    auto result = manager.resolveTarget({kPid, std::nullopt}, "Edit", 77, {10, 10, 500, 400}, 0, false, current);
    EXPECT_EQ(failureText(result),
              "keys=AXWindows/_AXUIElementGetWindow,AXPosition+AXSize bounds=(10.0, 10.0, 500.0, 400.0) "
              "AXWindows.count=3 knownIDs=[5] unknownIDs=2 frameMatches=2 "
              "_AXUIElementGetWindow=cannotComplete(-25204) _AXUIElementGetWindow=invalidUIElement(-25202)");
    EXPECT_TRUE(std::get<AXFailure>(result.error()).cannotComplete);
}

TEST_F(WindowManagerTest, FrameMatchNeedsTheRequestedPeer) {
    system.windows = {{8, kPid, "Edit", "", {10, 10, 500, 400}}, {9, kPid, "Edit", "", {10, 10, 500, 400}, 3}};
    system.windowIDErrors[8] = invalidUIElement;
    // The one peer of that pid, layer and frame is window 8, not the requested 30.
    auto result = manager.resolveTarget({kPid, std::nullopt}, "Edit", 30, {10, 10, 500, 400}, 0, false, current);
    EXPECT_EQ(failureText(result),
              "keys=CGWindowOwnerPID+layer+bounds frame=(10.0, 10.0, 500.0, 400.0) "
              "peerMatches=1 _AXUIElementGetWindow=invalidUIElement(-25202)");
    system.listAvailable = false;
    result = manager.resolveTarget({kPid, std::nullopt}, "Edit", 8, {10, 10, 500, 400}, 0, false, current);
    EXPECT_EQ(failureText(result), "keys=CGWindowOwnerPID+layer+bounds peer list unavailable");
}

TEST_F(WindowManagerTest, AspectResolutionAsksFocusedAndMainWindows) {
    system.windows = {{8, kPid, "Edit", "", {10, 10, 500, 400}}};
    system.appAttributeOverrides[{kPid, "AXWindows"}] = platform::AXValue{std::string("junk")};
    system.appAttributeOverrides[{kPid, "AXFocusedWindow"}] = std::unexpected(platform::AXError::noValue);
    auto target = manager.resolveTarget({kPid, std::nullopt}, "Edit", 8, {}, 0, true, current);
    ASSERT_TRUE(target);  // through "AXMainWindow"
    EXPECT_EQ(target->axWindow, element(8));

    system.appAttributeOverrides[{kPid, "AXMainWindow"}] = platform::AXValue{std::string("junk")};
    auto result = manager.resolveTarget({kPid, std::nullopt}, "Edit", 8, {1, 2, 3, 4}, 0, true, current);
    EXPECT_EQ(failureText(result),
              "keys=AXWindows/_AXUIElementGetWindow,AXPosition+AXSize bounds=(1.0, 2.0, 3.0, 4.0) AXWindows.count=0 "
              "knownIDs=[] unknownIDs=0 frameMatches=0 AXFocusedWindow=noValue(-25212) AXMainWindow=invalid element "
              "AXWindows=invalid list");
    EXPECT_FALSE(std::get<AXFailure>(result.error()).cannotComplete);
}

TEST_F(WindowManagerTest, MatchedWindowWithUnreadableFrameNamesItsSource) {
    system.windows = {{8, kPid, "Edit", "", {10, 10, 500, 400}}};
    system.attributeOverrides[{8, "AXSize"}] = std::unexpected(cannotComplete);
    auto result = manager.resolveTarget({kPid, std::nullopt}, "Edit", 8, {}, 0, false, current);
    EXPECT_EQ(failureText(result), "matched by AXWindows/_AXUIElementGetWindow; AXSize=cannotComplete(-25204)");
    EXPECT_TRUE(std::get<AXFailure>(result.error()).cannotComplete);
}

TEST_F(WindowManagerTest, ResolutionStopsWhenNoLongerCurrent) {
    system.windows = {{8, kPid, "Edit", "", {10, 10, 500, 400}}};
    auto result = manager.resolveTarget({kPid, std::nullopt}, "Edit", 8, {}, 0, true, [] { return false; });
    ASSERT_FALSE(result);
    EXPECT_TRUE(std::holds_alternative<Cancelled>(result.error()));
}

TEST_F(WindowManagerTest, AspectResolutionOutcomes) {
    system.windows = {{8, kPid, "Edit", "", {10, 10, 500, 400}}};
    const AspectWindow window{8, kPid, "Edit", {10, 10, 500, 400}};
    EXPECT_EQ(std::get<WindowTarget>(manager.resolveAspectWindow(window, current)).axWindow, element(8));

    system.windows[0].minimized = true;
    EXPECT_EQ(std::get<AspectExcluded>(manager.resolveAspectWindow(window, current)).reason,
              "pid=4242 CGWindowID=8 AXMinimized=true");
    system.windows[0].subrole = "AXDialog";
    EXPECT_EQ(std::get<AspectExcluded>(manager.resolveAspectWindow(window, current)).reason,
              "pid=4242 CGWindowID=8 AXSubrole!=AXStandardWindow");
    system.attributeOverrides[{8, "AXRole"}] = platform::AXValue{true};
    EXPECT_EQ(std::get<AXFailure>(manager.resolveAspectWindow(window, current)),
              AXFailure::text("pid=4242 CGWindowID=8 AXRole=invalid value"));

    system.windows[0].pid = 777;
    EXPECT_EQ(std::get<AXFailure>(manager.resolveAspectWindow(window, current)).description,
              "pid=4242 CGWindowID=8 CGWindowOwnerPID=777 owner changed");
    system.windows.clear();
    EXPECT_EQ(std::get<AXFailure>(manager.resolveAspectWindow(window, current)).description,
              "pid=4242 CGWindowID=8 CGWindowBounds=window unavailable");
    system.trusted = false;
    EXPECT_EQ(std::get<AXFailure>(manager.resolveAspectWindow(window, current)).description,
              "pid=4242 CGWindowID=8 AXIsProcessTrusted=false");
    EXPECT_TRUE(std::holds_alternative<Cancelled>(manager.resolveAspectWindow(window, [] { return false; })));
}

TEST_F(WindowManagerTest, FailedResolutionThatIsNoLongerCurrentIsCancelled) {
    system.windows = {{8, kPid, "Edit", "", {10, 10, 500, 400}}};
    for (auto name : {"AXWindows", "AXFocusedWindow", "AXMainWindow"}) {
        system.appAttributeOverrides[{kPid, name}] = std::unexpected(cannotComplete);
    }
    int calls = 0;
    // Current through the lookups, then not: the failure is reported as a cancellation.
    auto result = manager.resolveAspectWindow({8, kPid, "Edit", {}}, [&] { return ++calls < 4; });
    EXPECT_TRUE(std::holds_alternative<Cancelled>(result));
    calls = -100;
    auto failed = std::get<AXFailure>(manager.resolveAspectWindow({8, kPid, "Edit", {}}, [&] { return ++calls < 0; }));
    EXPECT_TRUE(failed.cannotComplete);
    EXPECT_TRUE(failed.description.starts_with("pid=4242 CGWindowID=8 keys=AXWindows/"));
}

TEST_F(WindowManagerTest, AppliesPositionSizeAndPositionThenChecks) {
    system.windows = {{8, kPid, "Edit", "", {10, 10, 500, 400}}};
    auto result = manager.applyAspectFrame(element(8), {100, 50, 640, 480}, false, true, current);
    EXPECT_EQ(system.writes,
              (std::vector<std::string>{"AXPosition (100, 50)", "AXSize (640, 480)", "AXPosition (100, 50)"}));
    EXPECT_EQ(result, (AspectFrameResult{Rect{100, 50, 640, 480}, true,
                                         "actual=(100.0, 50.0, 640.0, 480.0) expected=(100.0, 50.0, 640.0, 480.0)",
                                         false, false}));
}

TEST_F(WindowManagerTest, PositionOnlyComparesTheOrigin) {
    system.windows = {{8, kPid, "Edit", "", {10, 10, 500, 400}}};
    auto result = manager.applyAspectFrame(element(8), {100, 50, 640, 480}, true, true, current);
    EXPECT_EQ(system.writes, (std::vector<std::string>{"AXPosition (100, 50)"}));
    EXPECT_TRUE(result.matches);
    EXPECT_EQ(result.diagnostic, "actual=(100.0, 50.0, 500.0, 400.0) expected=(100.0, 50.0, 500.0, 400.0)");
}

TEST_F(WindowManagerTest, RefusedInitialMoveSkipsTheResizeAndReportsTimeOut) {
    system.windows = {{8, kPid, "Edit", "", {10, 10, 500, 400}}};
    system.writeErrors["AXPosition"] = cannotComplete;
    auto result = manager.applyAspectFrame(element(8), {100, 50, 640, 480}, false, true, current);
    EXPECT_TRUE(system.writes.empty());
    EXPECT_FALSE(result.matches);
    EXPECT_TRUE(result.cannotComplete);
    EXPECT_EQ(result.diagnostic,
              "write AXPosition=cannotComplete(-25204) actual=(10.0, 10.0, 500.0, 400.0) "
              "expected=(100.0, 50.0, 640.0, 480.0)");

    // Without an initial move required the later writes still run and fail in step order.
    system.writeErrors["AXSize"] = -25200;
    result = manager.applyAspectFrame(element(8), {100, 50, 640, 480}, false, false, current);
    EXPECT_TRUE(
        result.diagnostic.starts_with("write AXPosition=cannotComplete(-25204) write AXSize=failure(-25200) "
                                      "rewrite AXPosition=cannotComplete(-25204) actual="));
}

TEST_F(WindowManagerTest, CancelledBetweenSizeAndSecondMoveKeepsTheNewSize) {
    system.windows = {{8, kPid, "Edit", "", {10, 10, 500, 400}}};
    int checks = 0;
    auto result = manager.applyAspectFrame(element(8), {100, 50, 640, 480}, false, true, [&] { return ++checks < 3; });
    EXPECT_EQ(result, AspectFrameResult::cancelledResult());
    EXPECT_EQ(system.writes, (std::vector<std::string>{"AXPosition (100, 50)", "AXSize (640, 480)"}));
    EXPECT_EQ(system.windows[0].frame, (Rect{100, 50, 640, 480}));
}

TEST_F(WindowManagerTest, UnusableFrameIsRefusedWithoutWriting) {
    system.windows = {{8, kPid, "Edit", "", {10, 10, 500, 400}}};
    auto result = manager.applyAspectFrame(element(8), {std::nan(""), 0, 640, 480}, true, true, current);
    EXPECT_TRUE(system.writes.empty());
    EXPECT_TRUE(result.diagnostic.starts_with("write AXPosition=illegalArgument(-25201) actual="));
}

TEST_F(WindowManagerTest, CheckWaitsForALateMoveWithinItsBound) {
    system.windows = {{8, kPid, "Edit", "", {10, 10, 500, 400}}};
    system.applyDelayMicros = WindowManager::kFrameSettleMicros - 20'000;
    const auto start = clock.uptimeMicros();
    EXPECT_TRUE(manager.applyAspectFrame(element(8), {100, 50, 640, 480}, false, true, current).matches);
    EXPECT_LT(clock.uptimeMicros() - start, WindowManager::kFrameSettleMicros);

    system.applyDelayMicros = WindowManager::kFrameSettleMicros + 20'000;
    const auto second = clock.uptimeMicros();
    auto late = manager.applyAspectFrame(element(8), {300, 50, 640, 480}, false, true, current);
    EXPECT_FALSE(late.matches);
    EXPECT_EQ(clock.uptimeMicros() - second, WindowManager::kFrameSettleMicros);
}

TEST_F(WindowManagerTest, FailedReadBackIsReported) {
    system.windows = {{8, kPid, "Edit", "", {10, 10, 500, 400}}};
    system.attributeOverrides[{8, "AXPosition"}] = platform::AXValue{platform::Point{std::nan(""), 0}};
    auto result = manager.checkAspectFrame(element(8), {1, 2, 3, 4}, false);
    EXPECT_EQ(result, (AspectFrameResult{std::nullopt, false,
                                         "read AXPosition=invalid point expected=(1.0, 2.0, 3.0, 4.0)", false, false}));
}

TEST_F(WindowManagerTest, FrontmostTargetNeedsAWindowOfAtLeast100Points) {
    system.windows = {{8, kPid, "Edit", "", {10, 10, 99, 400}}};
    system.frontmostPid = kPid;
    EXPECT_FALSE(manager.frontmostTarget());
    system.windows[0].frame.width = 100;
    EXPECT_EQ(manager.frontmostTarget()->axWindow, element(8));
    system.frontmostPid = getpid();
    EXPECT_FALSE(manager.frontmostTarget());
}

TEST_F(WindowManagerTest, TargetForFitRefusesSmallOrPanelWindows) {
    system.windows = {{8, kPid, "Edit", "", {10, 10, 120, 100}}, {9, kPid, "Edit", "", {10, 10, 500, 400}, 3}};
    auto list = *system.windowList(true);
    EXPECT_EQ(manager.target(list[0], true)->axWindow, element(8));
    EXPECT_FALSE(manager.target(list[1], true));
    EXPECT_TRUE(manager.target(list[1], false));
    list[0].bounds->width = 119;
    EXPECT_FALSE(manager.target(list[0], true));
}

TEST_F(WindowManagerTest, RaiseActivatesTheOwnerAndRaisesTheWindow) {
    manager.raise({"Edit", {kPid, std::nullopt}, element(8), {}});
    EXPECT_EQ(system.activated, (std::vector<std::int32_t>{kPid}));
    EXPECT_EQ(system.actions, (std::vector<std::string>{"AXRaise 8"}));
}

TEST_F(WindowManagerTest, VisitsWindowsWhoseCentreIsInTheArea) {
    system.windows = {
        {1, kPid, "Edit", "", {0, 0, 400, 400}},              // centre inside
        {2, kPid, "Edit", "", {-260, 0, 500, 400}},           // nearly half inside, centre outside
        {3, kPid, "Edit", "", {10, 10, 100, 100}},            // excluded by the caller
        {4, kPid, "Edit", "", {10, 10, 100, 100}, 0, false},  // off screen counts
    };
    std::vector<std::uint32_t> visited;
    manager.visitWindows({0, 0, 1000, 1000}, {3},
                         [&](std::uint32_t id, const WindowTarget&) { visited.push_back(id); });
    EXPECT_EQ(visited, (std::vector<std::uint32_t>{1, 4}));
    system.trusted = false;
    visited.clear();
    manager.visitWindows({0, 0, 1000, 1000}, {}, [&](std::uint32_t id, const WindowTarget&) { visited.push_back(id); });
    EXPECT_TRUE(visited.empty());
}

TEST_F(WindowManagerTest, AppIconIsRenderedAt72Pixels) {
    system.icons[kPid] = {1, 1, {0xff00ff00}};
    EXPECT_EQ(manager.appIconPNG(kPid)->size(), icons.windowIconBytes);
    EXPECT_EQ(icons.renders, (std::vector<std::pair<std::string, int>>{{"<pixels>", 72}}));
    EXPECT_FALSE(manager.appIconPNG(kPid + 1));
}

}  // namespace
}  // namespace orvanta::host
