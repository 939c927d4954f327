#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "debug/DebugFormat.h"
#include "debug/DebugSupport.h"
#include "debug/FakeDebugClient.h"
#include "support/ManualExecutor.h"
#include "support/TempDir.h"

namespace orvanta::debug {
namespace {

using orvanta::testing::ManualExecutor;
using orvanta::testing::TempDir;
using testing::FakeDebugClient;
using namespace std::chrono_literals;
using Type = ObservedEvent::Type;

// The automation on virtual time against a fake client; the video arrives at 30 frames a second
// while the session is connected.
class DebugSequence : public ::testing::Test {
protected:
    void start(Environment env) {
        env.emplace(std::string(kLogVariable), logPath.string());
        support = DebugSupport::create(std::move(env), main, main.clock(), "orvanta");
        video = main.repeating(33ms, [this] {
            if (support && client && client->sessionState == State::connected && videoFlows) support->frameShown();
        });
        support->run(client);
    }
    void advance(base::Micros time) { main.advance(time); }
    std::vector<std::string> lines() const {
        std::ifstream file(logPath);
        std::vector<std::string> result;
        for (std::string line; std::getline(file, line);) result.push_back(line.substr(line.find("] ") + 2));
        return result;
    }
    std::vector<std::string> linesStartingWith(std::string_view prefix) const {
        std::vector<std::string> result;
        for (auto& line : lines()) {
            if (line.starts_with(prefix)) result.push_back(line);
        }
        return result;
    }
    void addConnectableHost() {
        client->entries.push_back(FakeDebugClient::entry("H1", "desk", "http://10.0.0.2:8766"));
        client->selectedId = "H1";
    }

    ManualExecutor main;
    TempDir dir;
    std::filesystem::path logPath = dir.path() / "debug.log";
    std::shared_ptr<FakeDebugClient> client = std::make_shared<FakeDebugClient>(main);
    std::shared_ptr<DebugSupport> support;
    base::TaskHandle video;
    bool videoFlows = true;
};

TEST(DebugSupportInactive, WithoutAVariableItCountsFramesAndWritesNothing) {
    ManualExecutor main;
    TempDir dir;
    auto support = DebugSupport::create({{"HOME", "/h"}}, main, main.clock());
    auto client = std::make_shared<FakeDebugClient>(main);
    support->frameShown();
    support->run(client);
    support->log("line");
    main.advance(20s);
    EXPECT_FALSE(support->isActive());
    EXPECT_EQ(support->frames(), 1);
    EXPECT_TRUE(client->calls.empty());
}

TEST(DebugSupportInactive, WithoutTheLogVariableNothingIsWritten) {
    ManualExecutor main;
    TempDir dir;
    auto support = DebugSupport::create({{"TESSARIL_CLIENT_DEBUG_X", "anything"}}, main, main.clock());
    support->run(std::make_shared<FakeDebugClient>(main));
    main.advance(5s);
    EXPECT_TRUE(support->isActive());
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(DebugSequence, LogOnlyWritesStartNotesAndSelectionAndDoesNotConnect) {
    addConnectableHost();
    support = nullptr;
    auto early = DebugSupport::create({{std::string(kLogVariable), logPath.string()}}, main, main.clock(), "");
    early->addPendingNote("import from standalone client: 3 keys, entries=1");
    main.advance(1'500ms);
    early->run(client);
    early->log("other part");
    main.advance(5s);
    const auto written = lines();
    ASSERT_EQ(written.size(), 4u);
    EXPECT_EQ(written[0], "debug start pid=" + std::to_string(::getpid()) + " entries=1 bundle=-");
    EXPECT_EQ(written[1], "import from standalone client: 3 keys, entries=1");
    EXPECT_EQ(written[2], "other part");
    EXPECT_EQ(written[3], "selected: desk kind=mac url=http://10.0.0.2:8766");
    std::ifstream file(logPath);
    std::string first;
    std::getline(file, first);
    EXPECT_TRUE(first.starts_with("[  1.500] debug start")) << first;
    EXPECT_TRUE(client->calls.empty());
}

TEST_F(DebugSequence, PairsConnectsWaitsForVideoAndReports) {
    std::ofstream(dir.path() / "code") << "  ABCDE-FGHIJ\n";
    start({{std::string(kPairVariable), "http://127.0.0.1:8766|" + (dir.path() / "code").string() + "|windows"},
           {std::string(kConnectVariable), "1"}});
    advance(1s);
    ASSERT_EQ(client->calls.at(0), "addHost http://127.0.0.1:8766 ABCDE-FGHIJ windows");
    advance(2s);
    EXPECT_EQ(linesStartingWith("pair:"), std::vector<std::string>{"pair: ok entries=1"});
    EXPECT_EQ(linesStartingWith("selected:"),
              std::vector<std::string>{"selected: host kind=windows url=http://127.0.0.1:8766"});
    advance(10s);
    const auto report = linesStartingWith("video:");
    ASSERT_EQ(report.size(), 1u);
    // Counted in rounds of 100 ms at 30 frames a second: at least 31, at most one round more.
    const int frames = std::stoi(report[0].substr(report[0].find('=') + 1));
    EXPECT_GE(frames, 31);
    EXPECT_LE(frames, 34);
    EXPECT_TRUE(report[0].ends_with(" state=connected stream=1280x720 fps=30")) << report[0];
    EXPECT_EQ(linesStartingWith("surface:"), std::vector<std::string>{"surface: 1200x700pt scale=2.0 layerStatus=1"});
    EXPECT_EQ(linesStartingWith("sequence done:").size(), 1u);
}

TEST_F(DebugSequence, PairingSkipsAListedHostAndReportsFailures) {
    struct Case {
        std::vector<std::string> saved;
        std::string address;
        bool succeeds;
        std::string line;
    };
    const Case cases[] = {
        {{"http://h:8766"}, "http://h:8766/", true, "pair: skipped (already listed)"},
        {{"http://h:8766"}, "http://h:8766", true, "pair: skipped (already listed)"},
        {{"http://h:8766/"}, "http://h:8766", true, "pair: ok entries=2"},
        {{}, "http://h:8766", false, "pair: failed: コードを確認してください entries=0"},
    };
    for (const auto& c : cases) {
        client = std::make_shared<FakeDebugClient>(main);
        for (const auto& url : c.saved) client->entries.push_back(FakeDebugClient::entry("S", "saved", url));
        client->pairingSucceeds = c.succeeds;
        start({{std::string(kPairVariable), c.address + "|/nonexistent/code|mac"}});
        advance(3s);
        EXPECT_EQ(linesStartingWith("pair:"), std::vector<std::string>{c.line}) << c.address;
        if (!c.line.starts_with("pair: skipped")) {
            EXPECT_EQ(client->calls.at(0), "addHost " + c.address + "  mac");
        }
        support = nullptr;
    }
}

TEST_F(DebugSequence, ConnectWaitEndsAfterItsRoundsWithoutVideo) {
    addConnectableHost();
    videoFlows = false;
    start({{std::string(kConnectVariable), "1"}});
    advance(1s + 14'900ms);
    EXPECT_TRUE(linesStartingWith("video:").empty());
    advance(200ms);
    EXPECT_EQ(linesStartingWith("video:"),
              std::vector<std::string>{"video: frames=0 state=connected stream=1280x720 fps=30"});
}

TEST_F(DebugSequence, ConnectTakesExactlyOne) {
    addConnectableHost();
    start({{std::string(kConnectVariable), "yes"}, {std::string(kResizeVariable), "1"}});
    advance(30s);
    EXPECT_TRUE(client->calls.empty());
    EXPECT_TRUE(linesStartingWith("video:").empty());
}

TEST_F(DebugSequence, QuitDuringTheWaitDisconnectsAndSwitchesToTheHostSide) {
    addConnectableHost();
    videoFlows = false;
    start({{std::string(kConnectVariable), "1"}, {std::string(kQuitAfterVariable), "2.5"}});
    advance(1s + 2'500ms);
    EXPECT_EQ(linesStartingWith("quit:"), std::vector<std::string>{"quit: frames=0 state=connected"});
    EXPECT_EQ(client->calls, (std::vector<std::string>{"connect", "disconnect", "hideConnectScreen"}));
    advance(500ms);
    EXPECT_EQ(client->calls.back(), "show host");
    EXPECT_EQ(linesStartingWith("quit: switched").size(), 1u);
    advance(15s);
    EXPECT_EQ(linesStartingWith("video:"),
              std::vector<std::string>{"video: frames=0 state=disconnected stream=1280x720 fps=30"});
}

TEST_F(DebugSequence, QuitTerminatesWhenAsked) {
    start({{std::string(kQuitAfterVariable), "1"}, {std::string(kTerminateVariable), "1"}});
    advance(3s);
    EXPECT_EQ(client->calls, (std::vector<std::string>{"disconnect", "hideConnectScreen", "terminate"}));
    EXPECT_TRUE(linesStartingWith("quit: switched").empty());
}

TEST_F(DebugSequence, ASecondRunWaitsForTheFirstClientToGoAndThenEmptiesTheLog) {
    start({});
    advance(2s);
    support->run(std::make_shared<FakeDebugClient>(main));
    advance(2s);
    EXPECT_EQ(linesStartingWith("debug start").size(), 1u);
    support->log("before second run");
    client = nullptr;
    auto second = std::make_shared<FakeDebugClient>(main);
    support->run(second);
    EXPECT_EQ(lines().size(), 1u);
    EXPECT_TRUE(lines()[0].starts_with("debug start"));
}

TEST_F(DebugSequence, GoingAwayDuringPairingDropsTheAnswer) {
    start({{std::string(kPairVariable), "http://h:8766|/nonexistent|mac"}});
    advance(1s);
    ASSERT_EQ(client->calls.size(), 1u);
    support = nullptr;  // the pairing answer is still on its way
    advance(5s);
    EXPECT_EQ(client->entries.size(), 1u);
}

TEST_F(DebugSequence, GoingAwayMidSequenceLeavesNothingRunning) {
    addConnectableHost();
    start({{std::string(kConnectVariable), "1"}, {std::string(kQuitAfterVariable), "3"}});
    advance(1'500ms);
    support = nullptr;
    advance(30s);
    // The quit handler still closes the session, but nothing is logged any more.
    EXPECT_EQ(client->calls, (std::vector<std::string>{"connect", "disconnect", "hideConnectScreen", "show host"}));
}

// ---- The checks.

class DebugChecks : public DebugSequence {
protected:
    // Runs the sequence up to its video line; a session that never connects waits all its rounds.
    void connectWith(std::string_view variable, std::string value = "1") {
        if (client->entries.empty()) addConnectableHost();
        start({{std::string(kConnectVariable), "1"}, {std::string(variable), std::move(value)}});
        advance(client->stateOnConnect == State::connected ? 1s + 1'100ms : 16s);
        ASSERT_EQ(linesStartingWith("video:").size(), 1u);
    }
};

TEST_F(DebugChecks, ResizeStepsThroughTheTableAndRestoresTheStartingFrame) {
    client->frame = ScreenRect{10, 20, 900, 700};
    connectWith(kResizeVariable);
    advance(4s);
    ASSERT_EQ(client->framesSet.size(), 4u);
    EXPECT_EQ(client->framesSet[0], (ScreenRect{10, 20, 1100, 640}));
    EXPECT_EQ(client->framesSet[1], (ScreenRect{10, 20, 1000, 640}));
    EXPECT_EQ(client->framesSet[2], (ScreenRect{10, 20, 900, 640}));
    EXPECT_EQ(client->framesSet[3], (ScreenRect{10, 20, 900, 700}));
    const auto resize = linesStartingWith("resize:");
    ASSERT_EQ(resize.size(), 5u);
    EXPECT_EQ(resize[0], "resize: step 1 window 1100x640");
    EXPECT_EQ(resize[2], "resize: step 3 window 900x640");
    EXPECT_EQ(resize[3], "resize: surface now 1200x700pt");
    EXPECT_TRUE(resize[4].starts_with("resize: restored 900x700 frames=")) << resize[4];
    EXPECT_TRUE(resize[4].ends_with(" state=connected"));
}

TEST_F(DebugChecks, ResizeWithoutAWindowLogsOneLine) {
    client->frame.reset();
    connectWith(kResizeVariable);
    advance(4s);
    EXPECT_EQ(linesStartingWith("resize:"), std::vector<std::string>{"resize: no window"});
}

TEST_F(DebugChecks, AspectTogglesTheScaleAndRestoresTheSavedValues) {
    struct Case {
        double savedScale;
        std::optional<bool> storedFit;
        bool self;
        std::string toggled;
        std::string restored;
    };
    const Case cases[] = {
        {2.0, std::nullopt, false, "aspect: scale -> 1.0",
         "aspect: on=false scale=2.0 (saved per host: fit=Optional(false) scale=Optional(2.0))"},
        {1.999, true, false, "aspect: scale -> 2.0",
         "aspect: on=true scale=1.999 (saved per host: fit=Optional(true) scale=Optional(1.999))"},
        {1.0, true, true, "aspect: scale -> 2.0",
         "aspect: on=false scale=1.0 (saved per host: fit=Optional(false) scale=Optional(1.0))"},
    };
    for (const auto& c : cases) {
        client = std::make_shared<FakeDebugClient>(main);
        client->scale = c.savedScale;
        client->selfConnection = c.self;
        addConnectableHost();
        client->entries[0].displayAspectFit = c.storedFit;
        connectWith(kAspectVariable);
        advance(16s);
        const auto aspect = linesStartingWith("aspect:");
        ASSERT_EQ(aspect.size(), 5u) << c.savedScale;
        EXPECT_EQ(aspect[0],
                  std::string("aspect: on=") + (c.self ? "false" : "true") + " scale=" + decimalText(c.savedScale));
        EXPECT_EQ(aspect[1], c.toggled);
        EXPECT_EQ(aspect[2], "aspect: stream=1280x720 state=connected");
        EXPECT_EQ(aspect[3], c.restored);
        EXPECT_EQ(aspect[4], "aspect: restored stream=1280x720 state=connected");
        support = nullptr;
    }
}

TEST_F(DebugChecks, AspectEndsSilentlyWhenTheSessionEnds) {
    connectWith(kAspectVariable);
    main.asyncAfter(2s, [this] { client->disconnect(); });
    advance(16s);
    EXPECT_EQ(linesStartingWith("aspect:").size(), 1u);
    EXPECT_EQ(linesStartingWith("sequence done:").size(), 1u);
}

TEST_F(DebugChecks, InputMovesTheHostCursorAndRecordsWhatCameBack) {
    struct Case {
        double x0;
        std::string moveLine;
        std::string cursor;
    };
    const Case cases[] = {
        {0.5, "input: move to (0.4500, 0.3000) -> host cursor (0.4500, 0.3000) OK", "(0.4500, 0.3000)"},
        {0.49, "input: move to (0.5400, 0.3000) -> host cursor (0.5400, 0.3000) OK", "(0.5400, 0.3000)"},
    };
    for (const auto& [x0, moveLine, cursor] : cases) {
        client = std::make_shared<FakeDebugClient>(main);
        client->hostCursor = protocol::CursorPosition{.x = x0, .y = 0.3};
        client->echo = [](const std::string& action) -> std::vector<ObservedEvent> {
            if (action == "double") {
                return {{.type = Type::leftDown, .clickCount = 1, .x = 540, .y = 18},
                        {.type = Type::leftUp, .clickCount = 1},
                        {.type = Type::leftDown, .clickCount = 2, .x = 540, .y = 18},
                        {.type = Type::leftUp, .clickCount = 2}};
            }
            if (action == "escape") return {{.type = Type::keyDown, .keyCode = 53}};
            return {};
        };
        connectWith(kInputVariable);
        advance(1s);
        EXPECT_TRUE(client->inputSuspended);
        EXPECT_TRUE(client->monitoring);
        advance(10s);
        EXPECT_FALSE(client->inputSuspended);
        EXPECT_FALSE(client->monitoring);
        const auto input = linesStartingWith("input:");
        ASSERT_EQ(input.size(), 9u) << x0;
        EXPECT_EQ(input[0], moveLine);
        // The window at (100, 50), 1200 wide, content from y=80, on a 1920x1080 main display.
        EXPECT_EQ(input[1], "input: bar target A=(0.3333, 0.0907) B=(0.3958, 0.0907)");
        EXPECT_EQ(input[2], "input: click -> observed nothing cursor=" + cursor + " notice=none");
        EXPECT_EQ(input[3],
                  "input: double -> observed leftDown(click=1) @540,18, leftUp(click=1), "
                  "leftDown(click=2) @540,18, leftUp(click=2) cursor=" +
                      cursor + " notice=none");
        EXPECT_EQ(input[8], "input: key escape -> observed keyDown(code=53) cursor=" + cursor + " notice=none");
        const std::vector<std::string> sent(client->calls.end() - 11, client->calls.end());
        EXPECT_EQ(sent,
                  (std::vector<std::string>{"pointer click", "pointer double", "pointer right", "pointer down",
                                            "pointer drag", "pointer drag", "pointer up", "pointer scroll dy=40 dx=0",
                                            "key eisu", "key escape", "pointer move"}));
        support = nullptr;
    }
}

TEST_F(DebugChecks, InputWithoutACursorReportStillRunsTheBarSteps) {
    client->notice = "accessibilityNeeded";
    connectWith(kInputVariable);
    advance(1s);
    advance(3s);  // the cursor wait runs out
    advance(7s);
    const auto input = linesStartingWith("input:");
    ASSERT_EQ(input.size(), 9u);
    EXPECT_EQ(input[0], "input: no cursor notice from host");
    EXPECT_EQ(input[2], "input: click -> observed nothing cursor=nil notice=accessibilityNeeded");
    EXPECT_EQ(std::ranges::count(client->calls, std::string("pointer move")), 0);
}

TEST_F(DebugChecks, InputSkipsUnlessConnectedAndCleansUpWithoutScreens) {
    client->stateOnConnect = State::locked;
    connectWith(kInputVariable);
    advance(15s);
    EXPECT_EQ(linesStartingWith("input:"), std::vector<std::string>{"input: skipped (state=locked)"});
    support = nullptr;

    client = std::make_shared<FakeDebugClient>(main);
    client->mainDisplay.reset();
    client->hostCursor = protocol::CursorPosition{.x = 0.2, .y = 0.2};
    client->cursorAfterMove = [](double, double) { return std::nullopt; };
    connectWith(kInputVariable);
    advance(10s);
    EXPECT_EQ(linesStartingWith("input:"),
              std::vector<std::string>{"input: move to (0.2500, 0.2000) -> host cursor (-1.0000, -1.0000) NG"});
    EXPECT_FALSE(client->monitoring);
    EXPECT_FALSE(client->inputSuspended);
}

TEST_F(DebugChecks, SideToggleHidesTheClientAndFindsTheSessionKept) {
    connectWith(kSideToggleVariable, "2");
    advance(500ms);
    EXPECT_EQ(client->calls.back(), "show host");
    advance(1'500ms);
    EXPECT_EQ(client->calls.back(), "show client");
    advance(1s);
    const auto side = linesStartingWith("side-toggle:");
    ASSERT_EQ(side.size(), 2u);
    EXPECT_TRUE(side[0].starts_with("side-toggle: host side for 2.0s: state=connected framesWhileHidden="));
    EXPECT_TRUE(side[0].ends_with(" window 1200x760 -> 1200x760")) << side[0];
    EXPECT_TRUE(side[1].starts_with("side-toggle: back to client: state=connected framesAfterShow=1")) << side[1];
    EXPECT_TRUE(side[1].ends_with(" surface=1200x700pt layerStatus=1 window 1200x760 size OK session kept")) << side[1];
}

TEST_F(DebugChecks, SideToggleOfLessThanTheSettleTimeAndASurfaceThatNeverReturns) {
    connectWith(kSideToggleVariable, "0.3");
    client->surfaceReport.reset();
    main.asyncAfter(300ms, [this] { client->frame = ScreenRect{100, 50, 1000, 760}; });
    advance(500ms);
    const auto first = linesStartingWith("side-toggle:");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(first[0].starts_with("side-toggle: host side for 0.3s:")) << first[0];
    advance(4'900ms);
    EXPECT_EQ(linesStartingWith("side-toggle:").size(), 1u);
    advance(200ms);
    const auto side = linesStartingWith("side-toggle:");
    ASSERT_EQ(side.size(), 2u);
    EXPECT_TRUE(side[1].ends_with(" surface=nil window 1000x760 size NG session kept")) << side[1];
}

}  // namespace
}  // namespace orvanta::debug
