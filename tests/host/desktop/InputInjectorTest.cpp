// The pointer half of the injector against a recording sink, on virtual time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include "host/desktop/InputInjector.h"
#include "support/FakeInputSink.h"
#include "support/ManualExecutor.h"
#include "support/TempDir.h"

namespace orvanta::testing {
namespace {

using host::InputInjector;
using platform::DisplayPoint;
using platform::DisplayRect;
using platform::MouseEvent;
using platform::MouseEventType;
using protocol::PointerInput;
using Result = InputInjector::Result;
using std::chrono::milliseconds;

class InjectorTest : public ::testing::Test {
protected:
    InjectorTest() : injector(executor, executor.clock(), sink, [this](std::string line) { lines.push_back(line); }) {}

    static PointerInput at(std::string action, double x, double y, std::uint32_t seq = 0) {
        PointerInput p;
        p.seq = seq;
        p.action = std::move(action);
        p.x = x;
        p.y = y;
        return p;
    }
    static PointerInput bare(std::string action, std::uint32_t seq = 0) {
        PointerInput p;
        p.seq = seq;
        p.action = std::move(action);
        return p;
    }
    static PointerInput delta(std::string action, double dx, double dy) {
        PointerInput p = bare(std::move(action));
        p.dx = dx;
        p.dy = dy;
        return p;
    }
    Result send(const PointerInput& p, const std::string& source = "dev") { return injector.handle(p, source); }
    std::vector<MouseEvent> mouse() const { return sink.eventsOf<MouseEvent>(); }
    std::vector<MouseEventType> types() const {
        std::vector<MouseEventType> out;
        for (const auto& e : mouse()) out.push_back(e.type);
        return out;
    }

    ManualExecutor executor;
    FakeInputSink sink;
    std::vector<std::string> lines;
    InputInjector injector;
};

TEST_F(InjectorTest, SequenceFilterDropsStaleNumbersPerSourceAndFollowsTheWrap) {
    struct Step {
        std::string source;
        std::uint32_t seq;
        bool posted;
    };
    constexpr std::uint32_t kTop = std::numeric_limits<std::uint32_t>::max();
    const std::vector<Step> steps = {
        {"a", 5, true},           {"a", 5, false}, {"a", 4, false}, {"a", 0, true},  // 0 is unsequenced
        {"a", 6, true},           {"b", 1, true},                                    // sources are apart
        {"a", 1000, true},        {"a", 7, false},                                   // a jump is accepted
        {"a", kTop, true},        {"a", 1, true},  {"a", 1, false}, {"a", 2, true},  // the counter wraps to 1
        {"b", 0x80000000u, true}, {"b", 1, false},                                   // far from the top: stale
    };
    for (const auto& step : steps) {
        const auto before = sink.events.size();
        EXPECT_EQ(send(at("move", 0.5, 0.5, step.seq), step.source), Result::ok);
        EXPECT_EQ(sink.events.size() > before, step.posted) << step.source << " seq " << step.seq;
    }
    injector.beginSession("a");  // starts the source again from nothing
    const auto before = sink.events.size();
    send(at("move", 0.5, 0.5, 1), "a");
    EXPECT_GT(sink.events.size(), before);
}

TEST_F(InjectorTest, MapsPictureCoordinatesOntoTheCapturedArea) {
    struct Case {
        std::string what;
        std::optional<std::uint32_t> display;
        std::optional<DisplayRect> content;
        std::optional<DisplayRect> target;
        std::optional<DisplayRect> visible;
        double x, y;
        std::optional<DisplayPoint> expected;  // nothing: dropped
    };
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const DisplayRect window{100, 100, 800, 600};
    const std::vector<Case> cases = {
        {"centre", {}, {}, {}, {}, 0.5, 0.5, DisplayPoint{960, 540}},
        {"far edge one point inside", {}, {}, {}, {}, 1.0, 1.0, DisplayPoint{1919, 1079}},
        {"below zero clamps", {}, {}, {}, {}, -0.2, -5, DisplayPoint{0, 0}},
        {"huge clamps", {}, {}, {}, {}, 1e300, 1e300, DisplayPoint{1919, 1079}},
        {"infinite dropped", {}, {}, {}, {}, inf, 0.5, std::nullopt},
        {"NaN dropped", {}, {}, {}, {}, 0.5, nan, std::nullopt},
        {"second display", 2u, {}, {}, {}, 0, 0.5, DisplayPoint{1920, 360}},
        {"unknown display dropped", 9u, {}, {}, {}, 0.5, 0.5, std::nullopt},
        {"letterbox centre", {}, DisplayRect{0.1, 0, 0.8, 1}, {}, {}, 0.5, 0.5, DisplayPoint{960, 540}},
        {"letterbox bar dropped", {}, DisplayRect{0.1, 0, 0.8, 1}, {}, {}, 0.05, 0.5, std::nullopt},
        {"window", {}, {}, window, window, 0.25, 0.5, DisplayPoint{300, 400}},
        {"window part hidden", {}, {}, window, DisplayRect{100, 100, 400, 600}, 0.75, 0.5, std::nullopt},
        {"window without visible part", {}, {}, window, {}, 0.5, 0.5, DisplayPoint{500, 400}},
    };
    sink.displays[2] = {1920, 0, 1280, 720};
    for (const auto& c : cases) {
        injector.displayID = c.display;
        injector.displayContentRect = c.content;
        injector.targetRect = c.target;
        injector.visibleWindowRect = c.visible;
        sink.events.clear();
        EXPECT_EQ(send(at("move", c.x, c.y)), Result::ok) << c.what;
        if (c.expected) {
            ASSERT_EQ(mouse().size(), 1u) << c.what;
            EXPECT_EQ(mouse()[0].location, *c.expected) << c.what;
            EXPECT_EQ(mouse()[0].type, MouseEventType::moved);
        } else {
            EXPECT_TRUE(sink.events.empty()) << c.what;
        }
    }
}

TEST_F(InjectorTest, RelativeMovesStayInsideTheVisibleArea) {
    injector.targetRect = DisplayRect{100, 100, 800, 600};
    injector.visibleWindowRect = DisplayRect{100, 100, 400, 300};
    sink.cursor = DisplayPoint{200, 200};
    EXPECT_EQ(send(delta("move", 10000, 10000)), Result::ok);
    EXPECT_EQ(mouse().back().location, (DisplayPoint{499, 399}));
    EXPECT_EQ(send(delta("move", -1e9, 5)), Result::ok);
    EXPECT_EQ(mouse().back().location, (DisplayPoint{100, 399}));  // from where the last move left it
    const auto posted = sink.events.size();
    EXPECT_EQ(send(bare("move")), Result::rejected);
    EXPECT_EQ(send(delta("move", std::numeric_limits<double>::quiet_NaN(), 0)), Result::rejected);
    EXPECT_EQ(sink.events.size(), posted);
}

TEST_F(InjectorTest, ClicksPostOnePairWithTheirClickStateAndLogIt) {
    EXPECT_EQ(send(at("click", 0.5, 0.5)), Result::ok);
    EXPECT_EQ(send(at("double", 0.5, 0.5)), Result::ok);
    EXPECT_EQ(send(at("middle", 0.5, 0.5)), Result::ok);
    const std::vector<MouseEvent> expected = {
        {MouseEventType::leftDown, {960, 540}, 1, 101, 0},  {MouseEventType::leftUp, {960, 540}, 1, 101, 0},
        {MouseEventType::leftDown, {960, 540}, 2, 102, 0},  {MouseEventType::leftUp, {960, 540}, 2, 102, 0},
        {MouseEventType::otherDown, {960, 540}, 1, 103, 0}, {MouseEventType::otherUp, {960, 540}, 1, 103, 0},
    };
    EXPECT_EQ(mouse(), expected);
    EXPECT_EQ(lines[0],
              "pointer button=left phase=down x=960.0 y=540.0 route=normal action=click count=1 clickState=1 "
              "mods=cmd:0,ctrl:0,opt:0,shift:0");
    EXPECT_EQ(lines[5],
              "pointer button=middle phase=up x=960.0 y=540.0 route=normal action=middle count=1 clickState=1 "
              "mods=cmd:0,ctrl:0,opt:0,shift:0");
}

TEST_F(InjectorTest, DownDragUpKeepsTheLeftButtonAcrossARightClick) {
    EXPECT_EQ(send(at("down", 0.1, 0.1)), Result::ok);
    EXPECT_EQ(send(at("drag", 0.2, 0.2)), Result::ok);
    EXPECT_EQ(send(at("right", 0.2, 0.2)), Result::ok);
    EXPECT_EQ(send(at("move", 0.3, 0.3)), Result::ok);  // still a drag
    EXPECT_EQ(send(at("up", 0.4, 0.4)), Result::ok);
    using enum MouseEventType;
    EXPECT_EQ(types(), (std::vector{leftDown, leftDragged, rightDown, rightUp, leftDragged, leftUp}));
    EXPECT_EQ(mouse()[1].eventNumber, 101);
    EXPECT_EQ(mouse().back().location, (DisplayPoint{768, 432}));
    EXPECT_EQ(send(at("drag", 0.5, 0.5)), Result::rejected);  // nothing pressed any more
}

TEST_F(InjectorTest, HeldButtonIsReleasedAfterThreeQuietSecondsUnlessKeptAlive) {
    send(at("down", 0.5, 0.5));
    executor.advance(milliseconds(2000));
    send(bare("keepalive"));
    executor.advance(milliseconds(2000));
    send(at("move", 0.6, 0.5));  // a drag also keeps it
    executor.advance(milliseconds(2999));
    EXPECT_EQ(types().back(), MouseEventType::leftDragged);
    executor.advance(milliseconds(1));
    EXPECT_EQ(types().back(), MouseEventType::leftUp);
    EXPECT_EQ(mouse().back().location, (DisplayPoint{1152, 540}));
    executor.advance(milliseconds(10000));
    EXPECT_EQ(mouse().size(), 3u);  // nothing more once released
    EXPECT_EQ(executor.pendingCount(), 0u);
}

TEST_F(InjectorTest, AnUpThatCouldNotBePostedIsRetriedAndBlocksPresses) {
    send(at("down", 0.5, 0.5));
    sink.failPosts = 1;
    EXPECT_EQ(send(at("up", 0.5, 0.5)), Result::rejected);
    EXPECT_EQ(send(at("move", 0.6, 0.6)), Result::rejected);
    EXPECT_EQ(send(at("drag", 0.6, 0.6)), Result::rejected);
    sink.failPosts = 1;
    EXPECT_EQ(send(at("click", 0.6, 0.6)), Result::rejected);  // the retry failed again: no new press
    EXPECT_EQ(types(), std::vector{MouseEventType::leftDown});
    EXPECT_EQ(send(at("click", 0.6, 0.6)), Result::ok);
    using enum MouseEventType;
    EXPECT_EQ(types(), (std::vector{leftDown, leftUp, leftDown, leftUp}));
}

TEST_F(InjectorTest, WithoutTrustOnlyReleasesRun) {
    send(at("down", 0.5, 0.5));
    sink.isTrusted = false;
    EXPECT_EQ(send(at("click", 0.5, 0.5)), Result::needsAccessibility);
    EXPECT_EQ(send(delta("scroll", 0, 5)), Result::needsAccessibility);
    EXPECT_EQ(send(bare("cancel")), Result::ok);
    using enum MouseEventType;
    EXPECT_EQ(types(), (std::vector{leftDown, leftUp}));
}

TEST_F(InjectorTest, UnknownActionsAndMissingPointsAreRejected) {
    EXPECT_EQ(send(at("teleport", 0.5, 0.5)), Result::rejected);
    EXPECT_EQ(send(bare("down")), Result::rejected);
    EXPECT_EQ(send(at("click", 2, 2)), Result::ok);  // clamps inside
    injector.targetRect = DisplayRect{0, 0, 100, 100};
    injector.visibleWindowRect = DisplayRect{0, 0, 50, 50};
    sink.events.clear();
    EXPECT_EQ(send(at("click", 0.9, 0.9)), Result::ok);  // outside the visible part: ignored
    sink.cursor = DisplayPoint{80, 80};
    EXPECT_EQ(send(bare("click")), Result::ok);
    EXPECT_TRUE(sink.events.empty());
}

TEST_F(InjectorTest, ScrollCarriesFractionsPerSourceAndRefusesWildDeltas) {
    EXPECT_EQ(send(delta("scroll", 0.4, 0)), Result::ok);
    EXPECT_TRUE(sink.events.empty());
    EXPECT_EQ(send(delta("scroll", 0.7, 0), "dev"), Result::ok);
    EXPECT_EQ(send(delta("scroll", 0.7, -2.5), "other"), Result::ok);
    auto scrolls = sink.eventsOf<platform::ScrollEvent>();
    ASSERT_EQ(scrolls.size(), 2u);
    EXPECT_EQ(scrolls[0].horizontalPixels, 1);
    EXPECT_EQ(scrolls[0].verticalPixels, 0);
    EXPECT_EQ(scrolls[0].source, "dev");
    EXPECT_EQ(scrolls[1].horizontalPixels, 0);
    EXPECT_EQ(scrolls[1].verticalPixels, -2);
    EXPECT_EQ(send(delta("scroll", 0.9, 0)), Result::ok);  // 0.1 left over + 0.9
    EXPECT_EQ(sink.eventsOf<platform::ScrollEvent>().back().horizontalPixels, 1);

    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const auto& [dx, dy, result] : std::vector<std::tuple<double, double, Result>>{
             {500, -500, Result::ok},
             {500.5, 0, Result::rejected},
             {0, -501, Result::rejected},
             {nan, 0, Result::rejected},
             {0, std::numeric_limits<double>::infinity(), Result::rejected}}) {
        EXPECT_EQ(send(delta("scroll", dx, dy)), result) << dx << "," << dy;
    }
    EXPECT_EQ(send(bare("scroll")), Result::rejected);
    injector.beginSession("dev");  // forgets the remainder
    EXPECT_EQ(send(delta("scroll", 0.5, 0)), Result::ok);
    EXPECT_EQ(sink.eventsOf<platform::ScrollEvent>().size(), 4u);
}

TEST_F(InjectorTest, ScrollOutsideTheVisibleWindowIsIgnoredAndWithoutSourceRejected) {
    injector.visibleWindowRect = DisplayRect{0, 0, 10, 10};
    injector.targetRect = DisplayRect{0, 0, 100, 100};
    PointerInput p = at("scroll", 0.5, 0.5);
    p.dx = 0;
    p.dy = 3;
    EXPECT_EQ(send(p), Result::ok);
    EXPECT_TRUE(sink.events.empty());
    injector.visibleWindowRect.reset();
    injector.targetRect.reset();
    sink.eventSource = false;
    EXPECT_EQ(send(p), Result::rejected);
}

TEST_F(InjectorTest, ReleasingEverythingSendsBlindUpsAndEndingASessionEndsADrag) {
    send(at("down", 0.5, 0.5));
    send(at("drag", 0.6, 0.6));
    injector.endSession("dev", false);
    EXPECT_EQ(types().back(), MouseEventType::leftUp);
    sink.events.clear();
    sink.cursor = DisplayPoint{7, 9};
    EXPECT_TRUE(injector.releasePointerInputs(true, {54, 55}));
    using enum MouseEventType;
    EXPECT_EQ(types(), (std::vector{leftUp, rightUp, otherUp}));
    EXPECT_EQ(mouse()[0].location, (DisplayPoint{7, 9}));
    std::vector<std::uint16_t> keyUps;
    for (const auto& key : sink.eventsOf<platform::KeyEvent>()) {
        EXPECT_FALSE(key.down);
        keyUps.push_back(key.keyCode);
    }
    EXPECT_EQ(keyUps, (std::vector<std::uint16_t>{56, 60, 58, 61, 59, 62}));  // command was released already
    EXPECT_EQ(lines.back(), "session phase=release-all");
    sink.failPosts = 100;
    send(at("down", 0.5, 0.5));
    EXPECT_TRUE(injector.releasePointerInputs(false, {}));  // nothing pressed, nothing to check
}

TEST_F(InjectorTest, CursorIsReportedInPictureUnits) {
    injector.displayContentRect = DisplayRect{0.25, 0, 0.5, 1};
    EXPECT_EQ(injector.cursorNormalized(DisplayPoint{960, 540}), (InputInjector::NormalizedCursor{0.5, 0.5, true}));
    EXPECT_EQ(injector.cursorNormalized(DisplayPoint{-480, 0}), (InputInjector::NormalizedCursor{0.125, 0, false}));
    sink.cursor = DisplayPoint{1920, 0};
    EXPECT_EQ(injector.cursorNormalized(), (InputInjector::NormalizedCursor{0.75, 0, false}));
    sink.displays.clear();
    EXPECT_EQ(injector.cursorNormalized(), InputInjector::NormalizedCursor{});
}

// A still pointer costs the desktop no question; a reported move, a posted move, a changed
// mapping and, within a second, an unreported warp all show.
TEST_F(InjectorTest, CursorIsAskedForOnlyAfterReportedMovesOrOnceASecond) {
    using Cursor = InputInjector::NormalizedCursor;
    sink.cursor = DisplayPoint{960, 540};
    sink.moves = 7;
    EXPECT_EQ(injector.cursorNormalized(), (Cursor{0.5, 0.5, true}));
    executor.advance(milliseconds(900));
    EXPECT_EQ(injector.cursorNormalized(), (Cursor{0.5, 0.5, true}));
    EXPECT_EQ(sink.cursorReads, 1) << "no question while nothing moved";

    sink.cursor = DisplayPoint{480, 540};
    ++*sink.moves;
    EXPECT_EQ(injector.cursorNormalized(), (Cursor{0.25, 0.5, true})) << "a reported move shows at once";
    injector.displayContentRect = DisplayRect{0, 0, 0.5, 1};
    EXPECT_EQ(injector.cursorNormalized(), (Cursor{0.125, 0.5, true}));
    injector.displayContentRect.reset();
    injector.targetRect = DisplayRect{0, 0, 960, 1080};
    EXPECT_EQ(injector.cursorNormalized(), (Cursor{0.5, 0.5, true})) << "a new mapping applies to the known pointer";
    injector.targetRect.reset();
    EXPECT_EQ(sink.cursorReads, 2);

    ASSERT_EQ(send(at("move", 0.75, 0.25)), Result::ok);
    EXPECT_EQ(injector.cursorNormalized(), (Cursor{0.75, 0.25, true})) << "our own move shows at once";

    sink.cursor = DisplayPoint{0, 0};  // warped: no report
    executor.advance(milliseconds(999));
    EXPECT_EQ(injector.cursorNormalized(), (Cursor{0.75, 0.25, true}));
    executor.advance(milliseconds(1));
    EXPECT_EQ(injector.cursorNormalized(), (Cursor{0, 0, true})) << "a warp shows within a second";

    const int reads = sink.cursorReads;
    sink.moves.reset();
    injector.cursorNormalized();
    injector.cursorNormalized();
    EXPECT_EQ(sink.cursorReads, reads + 2) << "without reports every call asks";
}

TEST(InputDiagnosticLog, LineCarriesUtcTimeWithMilliseconds) {
    using namespace std::chrono;
    const auto when = sys_days{year{2026} / 12 / 9} + hours(9) + minutes(1) + seconds(14) + milliseconds(123);
    EXPECT_EQ(host::InputDiagnosticLog::formatLine(when, "input session begin"),
              "2026-12-09T09:01:14.123Z input session begin\n");
}

TEST(InputDiagnosticLog, WritesOnlyToAPrivateRegularFileOfOurOwn) {
    TempDir dir("inputlog");
    namespace fs = std::filesystem;
    using host::InputDiagnosticLog::appendLine;
    const std::string log = dir / "log";
    EXPECT_TRUE(appendLine(log, "one\n"));
    EXPECT_TRUE(appendLine(log, "two\n"));
    EXPECT_EQ(readFile(log), "one\ntwo\n");
    struct stat st {};
    ASSERT_EQ(::stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const std::string link = dir / "link";
    fs::create_symlink(log, link);
    EXPECT_FALSE(appendLine(link, "via link\n"));
    const std::string hard = dir / "hard";
    fs::create_hard_link(log, hard);
    EXPECT_FALSE(appendLine(log, "two links\n"));
    fs::remove(hard);
    ::chmod(log.c_str(), 0640);
    EXPECT_FALSE(appendLine(log, "group readable\n"));
    EXPECT_EQ(readFile(log), "one\ntwo\n");

    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(appendLine(fifo, "never blocks\n"));
    EXPECT_FALSE(appendLine(dir.path().string(), "a directory\n"));
}

}  // namespace
}  // namespace orvanta::testing
