// Window migration onto the aspect display and back, on virtual time: the controller's queue and
// the window queue are two manual executors, so every synchronous hop between them runs here.
// Its neighbours are fakes, but for the host's stop, which runs on the controller.
#include <gtest/gtest.h>

#include "host/controller/HostControllerHarness.h"
#include "host/controller/WindowMigrationSupport.h"

namespace orvanta::testing {
namespace {

using host::AspectWindow;
using host::Rect;

constexpr std::uint32_t kVirtualID = 77;
constexpr std::uint32_t kPhysicalID = 1;
constexpr std::int32_t kPid = 500;
const Rect kPhysical{0, 0, 2000, 1200};
const Rect kVirtual{2000, 0, 2560, 1600};

TEST(AspectMigrationFrameTest, ScalesOntoTheTargetAndKeepsClearOfTheMenuBar) {
    struct Case {
        const char* what;
        Rect window, source, target, expected;
    };
    const Case cases[] = {
        {"scaled", {100, 100, 1000, 600}, {0, 0, 2000, 1200}, {0, 0, 2560, 1600}, {128, 133, 1280, 800}},
        {"at the top", {100, 0, 1000, 600}, {0, 0, 2000, 1200}, {0, 0, 2560, 1600}, {128, 28, 1280, 800}},
        {"larger than the target", {0, 0, 4000, 3000}, {0, 0, 2000, 1200}, {0, 0, 2560, 1600}, {0, 28, 2560, 1572}},
        {"no room under the menu bar", {10, 10, 50, 50}, {0, 0, 100, 100}, {0, 0, 100, 20}, {10, 19, 50, 1}},
        {"empty source", {10, 40, 30, 30}, {0, 0, 0, 0}, {0, 0, 100, 100}, {10, 40, 30, 30}},
        {"off to the right", {1900, 500, 200, 200}, {0, 0, 2000, 1200}, {2000, 0, 2560, 1600}, {4304, 666, 256, 266}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(host::WindowMigration::migrationFrame(c.window, c.source, c.target), c.expected) << c.what;
    }
}

TEST(AspectMigrationFrameTest, EvacuatedWindowsKeepTheirOffsetWhereTheyFit) {
    struct Case {
        const char* what;
        Rect window;
        platform::Point expected;
    };
    const Rect source{2000, 0, 2560, 1600};
    const Rect target{0, 0, 2000, 1200};
    const Case cases[] = {
        {"offset kept", {2100, 50, 800, 600}, {100, 50}},
        {"clamped to fit", {4000, 1500, 800, 600}, {1200, 600}},
        {"wider than the target", {2010, 10, 2500, 500}, {0, 10}},
        {"above and left of the source", {1900, -10, 300, 300}, {0, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(host::WindowMigration::evacuationOrigin(c.window, source, target), c.expected) << c.what;
    }
}

// A desk of two displays, the virtual one adopted by display aspect fit.
void setUpDesk(FakeAspectWindows& desk) {
    desk.screens = {{kPhysicalID, kPhysical}};
    desk.areas[kPhysicalID] = {kPhysical, kPhysical};
    desk.areas[kVirtualID] = {kVirtual, kVirtual};
}

class WindowMigrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        setUpDesk(desk());
        rig.virtualID = kVirtualID;
        rig.physicalID = kPhysicalID;
    }

    FakeAspectWindows& desk() { return *windows; }
    host::WindowMigration& migration() { return *rig.migration; }
    AspectWindow window(std::uint32_t id, Rect frame, std::int32_t pid = kPid) {
        AspectWindow made{id, pid, "App", frame};
        desk().add(made);
        return made;
    }

    // Runs both queues on virtual time, kept in step, for `span` and until neither has work due.
    void run(std::chrono::milliseconds span = std::chrono::milliseconds(0)) {
        for (auto left = span;;) {
            while (queue.runUntilIdle() + desk().queue.runUntilIdle() > 0) {
            }
            if (left.count() <= 0) return;
            const auto step = std::min(left, std::chrono::milliseconds(10));
            queue.advance(step);
            desk().queue.advance(step);
            left -= step;
        }
    }
    // Runs until `at` milliseconds after `since` (virtual microseconds).
    void runTo(std::uint64_t since, int at) {
        const auto target = since + static_cast<std::uint64_t>(at) * 1000;
        if (target > queue.nowMicros()) run(std::chrono::milliseconds((target - queue.nowMicros()) / 1000));
    }

    // A sweep that promotes and selects capture, then the sweep the pipeline runs once the capture
    // shows the virtual display; its batch runs to its end.
    void migrate() {
        migration().migrate();
        rig.captureID = kVirtualID;
        rig.capturing = true;
        migration().migrate();
        run(std::chrono::milliseconds(1000));
    }

    std::vector<std::string> calls(std::string_view prefix) const {
        std::vector<std::string> found;
        for (const auto& call : *callLog) {
            if (call.starts_with(prefix)) found.push_back(call);
        }
        return found;
    }
    std::size_t logCount(std::string_view part) const {
        return std::ranges::count_if(rig.logs, [&](const auto& line) { return line.find(part) != std::string::npos; });
    }
    bool logged(std::string_view line) const { return std::ranges::find(rig.logs, line) != rig.logs.end(); }

    ManualExecutor queue;
    HostCallLog callLog = std::make_shared<std::vector<std::string>>();
    std::shared_ptr<FakeAspectWindows> windows = std::make_shared<FakeAspectWindows>(callLog);
    MigrationRig rig{queue, windows};
};

TEST_F(WindowMigrationTest, MovesPhysicalWindowsInListOrderAndRecordsWhereTheyWere) {
    window(12, {100, 100, 1000, 600});
    window(10, {0, 0, 400, 300});
    window(11, {2100, 100, 400, 300});  // already on the virtual display
    migrate();

    EXPECT_EQ(calls("aspect.apply"), (std::vector<std::string>{"aspect.apply 10 (2000.0, 28.0, 512.0, 400.0)",
                                                               "aspect.apply 12 (2128.0, 133.0, 1280.0, 800.0)"}));
    EXPECT_TRUE(logged("display aspect fit: virtual display ready id=77"));
    EXPECT_TRUE(logged("display aspect fit: selecting virtual capture id=77"));
    EXPECT_EQ(rig.promotions, 1);
    // Selecting the capture restarts the pipeline, and a pipeline not capturing yet is started.
    EXPECT_EQ(rig.pipeline, (std::vector<std::string>{"stop", "start", "start"}));
    EXPECT_FALSE(rig.application->moving);
    ASSERT_EQ(migration().records().size(), 2u);
    EXPECT_EQ(migration().records().at(12).original.frame, (Rect{100, 100, 1000, 600}));
    EXPECT_EQ(migration().records().at(12).axWindow, (host::AXElement{kPid, 12}));
    ASSERT_TRUE(desk().saved);
    EXPECT_EQ(desk().saved->size(), 2u);
}

// Whatever changes on the controller's queue while a batch runs stops the rest of it: no further
// window is moved and nothing is booked against the window being moved.
TEST_F(WindowMigrationTest, ABatchStopsWhenItIsNoLongerCurrent) {
    struct Case {
        const char* what;
        std::function<void(MigrationRig&)> change;
    };
    const Case cases[] = {
        {"session ended", [](auto& r) { r.session.reset(); }},
        {"session detached", [this](auto& r) { r.session->detachedAt = queue.nowMicros(); }},
        {"aspect fit off", [](auto& r) { r.aspectFitOn = false; }},
        {"display gone", [](auto& r) { r.captureID.reset(); }},
        {"paused", [](auto& r) { r.paused = true; }},
        {"an update scheduled", [](auto& r) { r.updateScheduled = true; }},
        {"window fit started", [](auto& r) { ++r.fitGeneration; }},
    };
    const auto session = rig.session;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        callLog->clear();
        rig.logs.clear();
        rig.session = session;
        session->detachedAt.reset();
        rig.aspectFitOn = true;
        rig.paused = false;
        rig.updateScheduled = false;
        rig.captureID.reset();
        rig.application.reset();
        desk().windows.clear();
        window(10, {0, 0, 400, 300});
        window(11, {500, 0, 400, 300});
        desk().windows.at(10).refusesMoves = true;
        desk().beforeApply = [&](std::uint32_t) { queue.async([&] { c.change(rig); }); };
        migrate();
        EXPECT_EQ(calls("aspect.apply").size(), 1u);
        EXPECT_EQ(logCount("move failed"), 0u);
        EXPECT_TRUE(rig.application == nullptr || !rig.application->moving);
    }
}

TEST_F(WindowMigrationTest, WindowsThatCannotMoveAreBookedAndGivenUp) {
    window(10, {0, 0, 400, 300});     // refuses every move
    window(11, {500, 0, 400, 300});   // minimised: skipped, never booked
    window(12, {1000, 0, 400, 300});  // not a standard window: never offered again
    window(13, {0, 500, 400, 300});   // moves, but only after the first look
    desk().windows.at(10).refusesMoves = true;
    desk().windows.at(11).excluded = "AXMinimized=true";
    desk().windows.at(12).excluded = "AXSubrole!=AXStandardWindow";
    desk().windows.at(13).movesLate = true;
    migrate();

    EXPECT_EQ(calls("aspect.apply").size(), 2u);
    EXPECT_TRUE(
        logged("display aspect fit: move failed display=77 window=10 pid=500 attempt=1 reason=position "
               "unconfirmed actual=(0.0, 0.0, 400.0, 300.0) expected=(2000.0, 28.0, 512.0, 400.0)"));
    EXPECT_EQ(logCount("move failed"), 1u);
    EXPECT_TRUE(kVirtual.contains(desk().frame(13).midX(), desk().frame(13).midY()));

    // Two more sweeps: window 10 fails twice more (logged once), then it is no longer offered.
    for (int sweep = 0; sweep < 3; ++sweep) {
        callLog->clear();
        migration().migrate();
        run(std::chrono::milliseconds(1000));
        const auto moved = calls("aspect.apply");
        EXPECT_EQ(moved.size(), sweep < 2 ? 1u : 0u) << sweep;  // 10 while it is offered
        EXPECT_TRUE(std::ranges::none_of(moved, [](const auto& m) { return m.starts_with("aspect.apply 12"); }));
    }
    EXPECT_EQ(logCount("move failed"), 1u);
}

TEST_F(WindowMigrationTest, AWindowTheUserMovedIsPickedUpOrBookedAsArrived) {
    window(10, {0, 0, 400, 300});
    desk().windows.at(10).refusesMoves = true;
    migrate();
    ASSERT_EQ(logCount("move failed display=77 window=10"), 1u);

    // The user drags it onto the virtual display meanwhile: the next sweep sees it arrived.
    desk().windows.at(10).window.frame = {2500, 300, 400, 300};
    migration().migrate();
    run(std::chrono::milliseconds(1000));
    EXPECT_TRUE(
        logged("display aspect fit: move recovered display=77 window=10 pid=500 retry=0 observed=WindowServer"));

    // And back: it is moved again.
    desk().windows.at(10).refusesMoves = false;
    desk().windows.at(10).window.frame = {100, 100, 400, 300};
    callLog->clear();
    migration().migrate();
    run(std::chrono::milliseconds(1000));
    EXPECT_EQ(calls("aspect.apply").size(), 1u);
    EXPECT_TRUE(kVirtual.contains(desk().frame(10).midX(), desk().frame(10).midY()));
}

TEST_F(WindowMigrationTest, RecordsPreferTheSessionSnapshotUnlessTheIdWasReused) {
    rig.connectionFrames = std::map<std::uint32_t, AspectWindow>{{10, {10, kPid, "App", {50, 60, 700, 500}}},
                                                                 {11, {11, kPid, "App", {70, 80, 700, 500}}}};
    window(10, {300, 300, 400, 300});
    window(11, {400, 400, 400, 300}, kPid + 1);  // another process now owns id 11
    migration().rememberFrames();
    const auto& records = migration().records();
    EXPECT_EQ(records.at(10).original.frame, (Rect{50, 60, 700, 500}));
    EXPECT_EQ(records.at(11).original, (AspectWindow{11, kPid + 1, "App", {400, 400, 400, 300}}));

    // A record of the same process is kept as it was.
    desk().windows.at(10).window.frame = {0, 0, 300, 300};
    rig.connectionFrames.reset();
    migration().rememberFrames();
    EXPECT_EQ(records.at(10).original.frame, (Rect{50, 60, 700, 500}));
}

TEST_F(WindowMigrationTest, TheSessionSnapshotKeepsTheFramesWindowsAreStillRecordedAt) {
    // Window 10 is recorded at a frame of its own; window 11 only as evacuated from the virtual
    // display, a record that keeps nothing but a position.
    window(10, {50, 60, 700, 500});
    window(11, {2100, 300, 400, 300});
    migration().rememberFrames();
    migration().restore(true);
    desk().windows.at(10).window.frame = {300, 300, 400, 300};
    desk().windows.at(11).window.frame = {500, 300, 400, 300};
    window(12, {2500, 300, 400, 300});  // on the virtual display: not a physical frame
    ASSERT_EQ(migration().records().at(10).original.frame, (Rect{50, 60, 700, 500}));
    ASSERT_TRUE(migration().records().at(11).positionOnly);
    migration().snapshotConnectionFrames();
    ASSERT_TRUE(rig.connectionFrames);
    const auto& frames = *rig.connectionFrames;
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames.at(10).frame, (Rect{50, 60, 700, 500}));
    EXPECT_EQ(frames.at(11).frame, (Rect{500, 300, 400, 300}));
    EXPECT_TRUE(logged("display aspect fit: connection snapshot windows=2"));
}

// Windows opened on the virtual display keep their offset from its corner on the physical one.
TEST_F(WindowMigrationTest, WindowsOpenedOnTheVirtualDisplayAreEvacuated) {
    window(10, {0, 0, 400, 300});
    window(20, {2100, 50, 800, 600});
    window(21, {3900, 1000, 800, 600});
    migration().rememberFrames();
    migration().restore(false);
    EXPECT_TRUE(logged("display aspect fit: evacuating 2 additional windows from virtual id=77"));
    EXPECT_EQ(rig.demotions, 1);
    EXPECT_EQ(migration().records().at(20),
              (host::AspectRestoreRecord{{20, kPid, "App", {100, 50, 800, 600}}, host::AXElement{kPid, 20}, true}));

    EXPECT_EQ(desk().frame(20), (Rect{100, 50, 800, 600}));
    EXPECT_EQ(desk().frame(21), (Rect{1200, 600, 800, 600}));
    run(std::chrono::milliseconds(300));
    EXPECT_EQ(logCount("restore verified"), 3u);
    EXPECT_TRUE(migration().records().empty());
}

TEST_F(WindowMigrationTest, AReplacementOnlyRecordsTheWindowsToEvacuate) {
    window(20, {2100, 50, 800, 600});
    rig.physicalID = kVirtualID;  // capturing the virtual display itself
    migration().restore(false);
    rig.physicalID = 404;  // no such physical display
    migration().restore(false);
    EXPECT_TRUE(migration().records().empty());
    rig.physicalID = kPhysicalID;
    migration().restore(true);
    EXPECT_EQ(migration().records().at(20),
              (host::AspectRestoreRecord{{20, kPid, "App", {100, 50, 800, 600}}, std::nullopt, true}));
    EXPECT_EQ(desk().frame(20), (Rect{2100, 50, 800, 600}));
    desk().queue.runUntilIdle();  // the window queue writes the records
    ASSERT_TRUE(desk().saved);
    EXPECT_EQ(desk().saved->size(), 1u);

    desk().listAvailable = false;
    migration().restore(true);
    EXPECT_TRUE(logged("display aspect fit: evacuation snapshot unavailable on replacement"));
}

TEST_F(WindowMigrationTest, ReleasePutsWindowsBackAndVerifiesThem) {
    window(10, {100, 100, 1000, 600});
    window(11, {0, 0, 400, 300});
    migrate();
    ASSERT_FALSE(kPhysical.contains(desk().frame(10).midX(), desk().frame(10).midY()));

    rig.virtualID.reset();  // released by display aspect fit
    migration().restore(false);
    EXPECT_EQ(desk().frame(10), (Rect{100, 100, 1000, 600}));
    EXPECT_EQ(desk().frame(11), (Rect{0, 0, 400, 300}));
    EXPECT_FALSE(rig.application);

    run(std::chrono::milliseconds(299));
    EXPECT_EQ(logCount("restore verified"), 0u);
    run(std::chrono::milliseconds(10));
    EXPECT_TRUE(
        logged("display aspect fit: restore verified window=10 pid=500 actual=(100.0, 100.0, 1000.0, 600.0) "
               "expected=(100.0, 100.0, 1000.0, 600.0)"));
    EXPECT_EQ(logCount("restore verified"), 2u);
    EXPECT_TRUE(migration().records().empty());
    run(std::chrono::milliseconds(3000));
    EXPECT_EQ(logCount("restore "), 2u);  // nothing checked again
    EXPECT_FALSE(desk().saved);
}

// The disk is the window queue's to wait on: the controller's queue only hands the records over,
// a write takes the latest of them, and a window's record is on disk before the window moves.
TEST_F(WindowMigrationTest, RecordsAreWrittenOffTheControllersQueueBeforeEachMove) {
    window(10, {100, 100, 1000, 600});
    window(11, {2100, 100, 400, 300});  // on the virtual display
    window(12, {0, 0, 400, 300});
    migration().migrate();
    migration().restore(true);  // changes again: still one write
    queue.runUntilIdle();
    EXPECT_TRUE(calls("aspect.save").empty());
    desk().queue.runUntilIdle();
    EXPECT_EQ(calls("aspect.save"), std::vector<std::string>{"aspect.save 3"});

    rig.captureID = kVirtualID;
    migration().migrate();
    run(std::chrono::milliseconds(1000));
    std::vector<std::string> steps;
    std::ranges::copy_if(*callLog, std::back_inserter(steps), [](const std::string& call) {
        return call.starts_with("aspect.save") || call.starts_with("aspect.apply");
    });
    ASSERT_EQ(std::ranges::count_if(steps, [](const auto& call) { return call.starts_with("aspect.apply"); }), 2);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (steps[i].starts_with("aspect.apply")) {
            EXPECT_TRUE(i > 0 && steps[i - 1].starts_with("aspect.save")) << i;
        }
    }
}

// Stopping the host is a session's end: the windows are back on the physical display before the
// display they were moved to goes.
TEST_F(HostControllerTest, StoppingTheHostPutsMigratedWindowsBackBeforeTheDisplayGoes) {
    auto& desk = *fakes.aspectWindows;
    setUpDesk(desk);
    // The display system sees the same two displays, the virtual one already main, so that the
    // sweep's promotion succeeds without moving anything the window fake knows about.
    fakes.displays->displays = {{kPhysicalID, kPhysical, {2000, 1200}, false},
                                {kVirtualID, kVirtual, {2560, 1600}, true}};
    fakes.displays->stuckMain = kVirtualID;
    create();
    auto linked = link();
    authenticatedSession(linked);
    desk.add({10, kPid, "App", {100, 100, 1000, 600}});
    desk.add({11, kPid, "App", {2100, 100, 400, 300}});  // opened on the virtual display
    auto p = probe();
    p.clientAspectFit() = true;
    p.virtualDisplay() =
        std::make_shared<host::VirtualDisplay>(kVirtualID, host::DisplaySize{}, host::DisplayOrigin{2000, 0});
    p.migrate();
    p.activeAspectCaptureID() = kVirtualID;
    p.migrate();
    for (int step = 0; step <= 100; ++step) {
        while (queue.runUntilIdle() + desk.queue.runUntilIdle() > 0) {
        }
        queue.advance(std::chrono::milliseconds(10));
        desk.queue.advance(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(kPhysical.contains(desk.frame(10).midX(), desk.frame(10).midY()));
    fakes.log->clear();

    controller->stop();
    fakes.displays->queue.runUntilIdle();
    EXPECT_EQ(desk.frame(10), (Rect{100, 100, 1000, 600}));
    EXPECT_TRUE(kPhysical.contains(desk.frame(11).midX(), desk.frame(11).midY()));
    const auto& log = *fakes.log;
    const auto released = std::ranges::find(log, "displays.release 77");
    ASSERT_NE(released, log.end());
    EXPECT_EQ(std::find_if(released, log.end(), [](const auto& call) { return call.starts_with("aspect."); }),
              log.end());
    EXPECT_TRUE(logged("session ended: host stopping"));
}

// A window that will not go back is retried at 300, 600, 1000 and 1500 ms and given up at the
// fifth check; one that vanished, or whose id another process took, is reported as such.
TEST_F(WindowMigrationTest, RestoreRetriesOnScheduleThenGivesUp) {
    window(10, {100, 100, 1000, 600});
    window(11, {0, 0, 400, 300});
    window(12, {0, 400, 400, 300});
    migrate();
    desk().windows.at(10).refusesMoves = true;
    desk().windows.erase(11);
    desk().windows.at(12).window.pid = kPid + 9;
    rig.virtualID.reset();
    migration().restore(false);

    const auto restoredAt = queue.nowMicros();
    const int checks[] = {300, 900, 1900, 3400};
    for (int attempt = 1; attempt <= 4; ++attempt) {
        const auto line = "restore attempt=" + std::to_string(attempt) + "/4 window=";
        runTo(restoredAt, checks[attempt - 1] - 5);
        EXPECT_EQ(logCount(line + "10"), 0u) << attempt;
        runTo(restoredAt, checks[attempt - 1] + 5);
        EXPECT_EQ(logCount(line + "10 pid=500 actual=(2128.0, 133.0, 1280.0, 800.0)"), 1u) << attempt;
        EXPECT_EQ(logCount(line + "11 pid=500 actual=none expected=(0.0, 0.0, 400.0, 300.0) reason=window unavailable"),
                  1u);
    }
    EXPECT_EQ(logCount("restore mismatch window=12 pid=500"), 1u);
    EXPECT_EQ(logCount("reason=owner or frame mismatch"), 1u);
    runTo(restoredAt, 4895);
    EXPECT_EQ(logCount("restore mismatch window=10"), 0u);
    runTo(restoredAt, 4905);
    EXPECT_EQ(logCount("restore mismatch window=10 pid=500 actual=(2128.0, 133.0, 1280.0, 800.0) "
                       "expected=(100.0, 100.0, 1000.0, 600.0) reason=owner or frame mismatch"),
              1u);
    EXPECT_EQ(logCount("restore mismatch window=11 pid=500 actual=none expected=(0.0, 0.0, 400.0, 300.0) "
                       "reason=window unavailable"),
              1u);
    EXPECT_TRUE(migration().records().empty());
    EXPECT_FALSE(desk().saved);
    run(std::chrono::milliseconds(3000));
    EXPECT_EQ(logCount("restore attempt="), 8u);
}

TEST_F(WindowMigrationTest, RestoreChecksWaitForTheDisplayAndStopForANewMigration) {
    window(10, {100, 100, 1000, 600});
    migrate();
    desk().windows.at(10).refusesMoves = true;
    migration().restore(true);  // a replacement: nothing is moved back directly
    EXPECT_TRUE(calls("aspect.position").empty());
    rig.restorePending = true;
    run(std::chrono::milliseconds(2000));
    EXPECT_EQ(logCount("restore attempt="), 0u);
    rig.restorePending = false;
    run(std::chrono::milliseconds(300));
    EXPECT_EQ(logCount("restore attempt=1/4"), 1u);

    // The next display's sweep cancels the checks; the record stays for it.
    migration().migrate();
    EXPECT_TRUE(logged("display aspect fit: restore retries cancelled (new migration)"));
    run(std::chrono::milliseconds(5000));
    EXPECT_EQ(logCount("restore attempt="), 1u);
    EXPECT_EQ(migration().records().size(), 1u);
}

// Recording frames for a new display stops the checks of the last one, which would otherwise
// keep moving windows the new migration is about to take.
TEST_F(WindowMigrationTest, RecordingForANewDisplayStopsRestoreChecks) {
    window(10, {100, 100, 1000, 600});
    migrate();
    desk().windows.at(10).refusesMoves = true;
    migration().restore(true);
    migration().rememberFrames();
    EXPECT_EQ(logCount("display aspect fit: restore retries cancelled (new migration)"), 1u);
    run(std::chrono::milliseconds(6000));
    EXPECT_EQ(logCount("restore attempt="), 0u);
    EXPECT_EQ(migration().records().size(), 1u);
}

// The check itself is cancelled between two windows when the controller's queue moves on.
TEST_F(WindowMigrationTest, ARestoreCheckStopsMidwayWhenItIsNoLongerCurrent) {
    window(10, {100, 100, 1000, 600});
    window(11, {0, 0, 400, 300});
    migrate();
    desk().windows.at(10).refusesMoves = true;
    desk().windows.at(11).refusesMoves = true;
    migration().restore(true);
    desk().beforeRead = [&](std::uint32_t id) {
        if (id == 10) queue.async([&] { migration().rememberFrames(); });
    };
    run(std::chrono::milliseconds(300));
    EXPECT_EQ(logCount("restore attempt="), 0u);
    EXPECT_EQ(migration().records().size(), 2u);
}

TEST_F(WindowMigrationTest, AnActiveWindowFitTakesOverTheRestoreOnce) {
    window(10, {100, 100, 1000, 600});
    migrate();
    rig.virtualID.reset();
    desk().windows.at(10).refusesMoves = true;
    migration().restore(false);
    host::WindowFit fit;
    fit.target.axWindow = {kPid, 10};
    fit.originalOrigin = {5, 5};
    rig.windowFit = fit;
    run(std::chrono::milliseconds(6000));
    EXPECT_EQ(logCount("display aspect fit: restore deferred to disconnect window=10 pid=500 (active window fit)"), 1u);
    EXPECT_EQ(rig.windowFit->originalOrigin, (platform::Point{100, 100}));
    EXPECT_EQ(logCount("restore "), 1u);  // no check after it
}

TEST(WindowMigrationWithoutWindowsTest, NothingMoves) {
    ManualExecutor queue;
    MigrationRig rig{queue, nullptr};
    auto& migration = *rig.migration;
    rig.virtualID = kVirtualID;
    migration.migrate();
    rig.captureID = kVirtualID;
    migration.migrate();
    rig.connectionFrames = std::map<std::uint32_t, AspectWindow>{{3, {3, kPid, "App", {0, 0, 10, 10}}}};
    migration.rememberFrames();
    ASSERT_EQ(migration.records().size(), 1u);
    migration.restore(false);
    queue.advance(std::chrono::seconds(10));
    EXPECT_EQ(migration.visibleBounds(kVirtualID, true), std::nullopt);
    EXPECT_EQ(rig.application, nullptr);
    EXPECT_EQ(migration.records().size(), 1u);
}

TEST_F(WindowMigrationTest, VisibleBoundsLeaveOutPanels) {
    struct Case {
        const char* what;
        Rect frame, visible;
        bool includeDockOnly;
        std::optional<Rect> expected;
    };
    const Rect full{0, 0, 1920, 1080};
    const Case cases[] = {
        {"top panel", full, {0, 28, 1920, 1052}, false, Rect{0, 28, 1920, 1052}},
        {"bottom dock only", full, {0, 0, 1920, 1040}, false, std::nullopt},
        {"bottom dock asked for", full, {0, 0, 1920, 1040}, true, Rect{0, 0, 1920, 1040}},
        {"no panels", full, full, true, std::nullopt},
        {"nothing left", full, {0, 28, 0, 0}, true, std::nullopt},
        {"second display", {1920, 0, 1280, 800}, {1920, 30, 1280, 770}, false, Rect{1920, 30, 1280, 770}},
    };
    for (const auto& c : cases) {
        desk().areas[5] = {c.frame, c.visible};
        EXPECT_EQ(migration().visibleBounds(5, c.includeDockOnly), c.expected) << c.what;
    }
    EXPECT_EQ(migration().visibleBounds(404, true), std::nullopt);
}

}  // namespace
}  // namespace orvanta::testing
