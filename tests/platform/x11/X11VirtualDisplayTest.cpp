#include "platform/x11/X11VirtualDisplay.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "platform/x11/X11WindowSystem.h"
#include "support/TempDir.h"
#include "support/X11TestDesktop.h"
#include "support/X11TestWindows.h"
#include "support/XorgDummyFixture.h"

namespace orvanta::platform::x11 {

void PrintTo(const RandrArrangement& a, std::ostream* os) { *os << a.toJson(); }

namespace {

std::string describe(const std::optional<Rect>& frame) {
    if (!frame) return "no frame";
    return "(" + std::to_string(frame->x) + ", " + std::to_string(frame->y) + ", " + std::to_string(frame->width) +
           ", " + std::to_string(frame->height) + ")";
}

TEST(X11VirtualDisplayTest, ModesUseReducedBlankingTimings) {
    // The published CVT-RB timings of 1920x1080 at 60 Hz: 138.5 MHz, 2080 x 1111.
    const auto mode = cvtReducedBlanking(1920, 1080, 60);
    EXPECT_EQ(mode.dot_clock, 138'500'000u);
    EXPECT_EQ(mode.htotal, 2080);
    EXPECT_EQ(mode.hsync_start, 1968);
    EXPECT_EQ(mode.hsync_end, 2000);
    EXPECT_EQ(mode.vtotal, 1111);
    EXPECT_EQ(mode.vsync_start, 1083);
    EXPECT_EQ(mode.vsync_end, 1088);
}

TEST(X11VirtualDisplayTest, EachDisplayHasItsOwnStateFile) {
    const auto a = X11VirtualDisplayFactory::defaultStateFile(":0");
    const auto b = X11VirtualDisplayFactory::defaultStateFile(":1");
    EXPECT_NE(a, b);
    EXPECT_EQ(a.filename(), "randr-arrangement-_0.json");
    EXPECT_EQ(a.parent_path().filename(), "orvanta");
    EXPECT_EQ(X11VirtualDisplayFactory::defaultStateFile("../../x:0").filename(), "randr-arrangement-.._.._x_0.json");
}

TEST(X11VirtualDisplayTest, SavedArrangementsReadBackAndBadFilesAreRefused) {
    RandrArrangement a{1920,
                       1080,
                       508,
                       286,
                       {{63, 0, 0, 58, 1, {64}}, {65, 0, 0, 0, 1, {}}},
                       64,
                       {{"LEFT", true, 0, 0, 1920, 1080, 508, 286, {64}}}};
    EXPECT_EQ(RandrArrangement::fromJson(a.toJson()), a);
    for (const char* bad :
         {"", "{", "[]", R"({"width":1920})",
          R"({"width":0,"height":0,"mmWidth":0,"mmHeight":0,"primary":0,"crtcs":[],"monitors":[]})",
          R"({"width":-1,"height":1080,"mmWidth":0,"mmHeight":0,"primary":0,"crtcs":[],"monitors":[]})"}) {
        EXPECT_FALSE(RandrArrangement::fromJson(bad)) << bad;
    }
}

class X11VirtualDisplayServerTest : public ::testing::Test {
protected:
    std::filesystem::path stateFile() const { return dir_.path() / "state" / "orvanta" / "randr-arrangement.json"; }
    std::unique_ptr<X11VirtualDisplayFactory> factory(const std::string& display) {
        auto made = X11VirtualDisplayFactory::open(display, stateFile());
        EXPECT_TRUE(made) << made.error();
        return made ? std::move(*made) : nullptr;
    }
    static VirtualDisplayRequest request(std::int64_t w, std::int64_t h) {
        return {std::string(kVirtualDisplayMark), {w, h}, {{w, h}}, 60};
    }
    static std::vector<std::string> monitorNames(XConnection& x) {
        std::vector<std::string> names;
        Reply<xcb_randr_get_monitors_reply_t> reply(
            xcb_randr_get_monitors_reply(x.get(), xcb_randr_get_monitors(x.get(), x.root(), 1), nullptr));
        for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
             xcb_randr_monitor_info_next(&it)) {
            Reply<xcb_get_atom_name_reply_t> name(
                xcb_get_atom_name_reply(x.get(), xcb_get_atom_name(x.get(), it.data->name), nullptr));
            names.emplace_back(xcb_get_atom_name_name(name.get()), xcb_get_atom_name_name_length(name.get()));
        }
        return names;
    }

    testing::TempDir dir_;
};

TEST_F(X11VirtualDisplayServerTest, SpansAHeadlessServerAndRestoresItExactly) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    auto& x = *desktop.x;
    const auto before = readArrangement(x);
    ASSERT_TRUE(before);
    const auto monitorsBefore = monitorNames(x);

    auto vd = factory(desktop.server->display());
    ASSERT_TRUE(vd);
    EXPECT_EQ(vd->strategy(), VirtualDisplayStrategy::span);
    EXPECT_TRUE(vd->isAvailable());
    const auto id = vd->create(request(1280, 800));
    ASSERT_TRUE(id) << id.error();
    EXPECT_TRUE(std::filesystem::exists(stateFile()));
    EXPECT_EQ(vd->bounds(*id), (DisplayBounds{1920, 0, 1280, 800}));
    EXPECT_EQ(vd->mainBounds(), (DisplayBounds{0, 0, 1920, 1080}));
    EXPECT_EQ(vd->currentMode(*id), (DisplayMode{1280, 800}));
    EXPECT_EQ(vd->place(*id, 1920, 0), 0);
    EXPECT_EQ(monitorNames(x).size(), 2u);
    EXPECT_FALSE(vd->create(request(640, 480)));  // one at a time

    // The pointer reaches the new display, and what is drawn there can be captured.
    xcb_warp_pointer(x.get(), XCB_NONE, x.root(), 0, 0, 0, 0, 2500, 700);
    Reply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(x.get(), xcb_query_pointer(x.get(), x.root()), nullptr));
    ASSERT_TRUE(pointer);
    EXPECT_EQ(pointer->root_x, 2500);
    EXPECT_EQ(pointer->root_y, 700);
    desktop.window(2000, 100, 50, 40, 0x3366CC);
    EXPECT_EQ(desktop.pixels(2010, 110, 4, 4), std::vector<std::uint32_t>(16, 0x3366CC));

    vd->release(*id);
    EXPECT_EQ(readArrangement(x), before);
    EXPECT_EQ(monitorNames(x), monitorsBefore);
    EXPECT_FALSE(std::filesystem::exists(stateFile()));
    EXPECT_FALSE(vd->bounds(*id));
}

// Plain Xvfb's RandR maximum is the size it started with: no display fits beside the main one.
TEST_F(X11VirtualDisplayServerTest, AScreenThatCannotGrowOffersNoDisplay) {
    ORVANTA_REQUIRE_X11_DESKTOP(1920, 1080, 1920, 1080);
    const auto before = readArrangement(*desktop.x);
    auto vd = factory(desktop.server->display());
    ASSERT_TRUE(vd);
    EXPECT_EQ(vd->strategy(), VirtualDisplayStrategy::none);
    EXPECT_FALSE(vd->isAvailable());
    EXPECT_NE(vd->unavailableReason().find("cannot grow"), std::string::npos) << vd->unavailableReason();
    const auto made = vd->create(request(1280, 800));
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error(), vd->unavailableReason());
    EXPECT_EQ(readArrangement(*desktop.x), before);
}

TEST_F(X11VirtualDisplayServerTest, AFailureHalfWayRollsBack) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    const auto before = readArrangement(*desktop.x);
    auto vd = factory(desktop.server->display());
    ASSERT_TRUE(vd);
    // Taller than the server can ever be: the mode is made and added before the screen refuses to grow.
    EXPECT_FALSE(vd->create(request(1280, 5000)));
    EXPECT_EQ(readArrangement(*desktop.x), before);
    EXPECT_FALSE(std::filesystem::exists(stateFile()));
    EXPECT_TRUE(vd->create(request(1280, 800)));  // and nothing is left in the way
}

TEST_F(X11VirtualDisplayServerTest, AStartAfterACrashPutsTheArrangementBack) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    auto& x = *desktop.x;
    const auto before = readArrangement(x);
    const auto monitorsBefore = monitorNames(x);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Dies with its display up: no destructor, no release.
        auto made = X11VirtualDisplayFactory::open(desktop.server->display(), stateFile());
        _exit(made && (*made)->create(request(1600, 900)) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_NE(readArrangement(x), before);
    ASSERT_TRUE(std::filesystem::exists(stateFile()));
    const xcb_window_t stray = desktop.window(2400, 300, 100, 100, 0xFF0000, false);

    auto vd = factory(desktop.server->display());
    ASSERT_TRUE(vd);
    EXPECT_EQ(vd->recoverAfterCrash(), CrashRecovery::restored);
    EXPECT_EQ(readArrangement(x), before);
    EXPECT_EQ(monitorNames(x), monitorsBefore);
    EXPECT_FALSE(std::filesystem::exists(stateFile()));
    Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(x.get(), xcb_get_geometry(x.get(), stray), nullptr));
    ASSERT_TRUE(g);
    EXPECT_LT(g->x, 1920);
    EXPECT_LT(g->y, 1080);
    EXPECT_EQ(vd->recoverAfterCrash(), CrashRecovery::nothing);  // nothing left to do
}

// Leaves the state file of a run killed with its display up.
void crashWithADisplay(const std::string& display, const std::filesystem::path& stateFile) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto made = X11VirtualDisplayFactory::open(display, stateFile);
        _exit(made && (*made)->create({std::string(kVirtualDisplayMark), {1600, 900}, {{1600, 900}}, 60}) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(std::filesystem::exists(stateFile));
}

std::string readText(const std::filesystem::path& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Killed with its display promoted to the origin: the next start brings the windows of the
// physical display back with it, and moves one opened on the display of ours onto the main one at
// the same place, as far as it fits.
void crashPromotedAndRecover(const std::string& display, const std::filesystem::path& stateFile) {
    auto x = XConnection::open(display);
    auto system = X11WindowSystem::open(display);
    auto windows = testing::X11TestWindows::open(display);
    auto configuration = X11DisplayConfiguration::open(display);
    ASSERT_TRUE(x && system && windows && configuration);
    const auto frameOf = [&](xcb_window_t window) { return (*system)->windowDescription(window).value().bounds; };
    const auto at = [&](xcb_window_t window, double wx, double wy) {
        return (*windows)->waitUntil([&] {
            const auto frame = frameOf(window);
            return frame && frame->x == wx && frame->y == wy;
        });
    };
    const auto moveTo = [&](xcb_window_t window, double wx, double wy) {
        EXPECT_EQ((*system)->setAttribute({static_cast<std::int32_t>(getpid()), window}, "AXPosition", Point{wx, wy}),
                  0);
        EXPECT_TRUE(at(window, wx, wy)) << describe(frameOf(window));
    };
    const auto open = [&] {
        testing::TestWindowSpec spec;
        spec.pid = getpid();
        const auto window = (*windows)->create(spec);
        EXPECT_TRUE((*windows)->waitManaged(window));
        return window;
    };
    const auto mainID = (*configuration)->mainDisplay();
    const auto displays = (*configuration)->activeDisplays();
    const auto main = std::ranges::find_if(displays, [&](const auto& d) { return d.id == mainID; });
    ASSERT_NE(main, displays.end());
    ASSERT_EQ(main->bounds.x, 0);
    const auto physical = open();
    moveTo(physical, 100, 100);
    const auto before = readArrangement(**x);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto made = X11VirtualDisplayFactory::open(display, stateFile);
        auto arrangement = X11DisplayConfiguration::open(display);
        if (!made || !arrangement) _exit(1);
        const auto id = (*made)->create({std::string(kVirtualDisplayMark), {1600, 900}, {{1600, 900}}, 60});
        _exit(id && (*arrangement)->setOrigins({{*id, 0, 0}, {mainID, 1600, 0}}) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(at(physical, 1700, 100)) << describe(frameOf(physical));
    // On the display of ours by its middle, reaching as low as its middle allows.
    const auto opened = open();
    const auto size = frameOf(opened).value_or(Rect{});
    const double lowest = std::floor(890 - size.height / 2);
    moveTo(opened, 1000, lowest);

    auto vd = X11VirtualDisplayFactory::open(display, stateFile);
    ASSERT_TRUE(vd);
    EXPECT_EQ((*vd)->recoverAfterCrash(), CrashRecovery::restored);
    EXPECT_EQ(readArrangement(**x), before);
    EXPECT_TRUE(at(physical, 100, 100)) << describe(frameOf(physical));
    const double room = static_cast<double>(main->bounds.height) - size.height;
    const double wantX = std::min(1000.0, static_cast<double>(main->bounds.width) - size.width);
    EXPECT_TRUE(at(opened, wantX, std::min(lowest, room))) << describe(frameOf(opened));
}

TEST_F(X11VirtualDisplayServerTest, AStartAfterACrashBringsTheWindowsBackOnScreen) {
    ORVANTA_REQUIRE_X11_DESKTOP(1920, 1080, 8192, 4096, true);
    crashPromotedAndRecover(desktop.server->display(), stateFile());
}

TEST_F(X11VirtualDisplayServerTest, AStartAfterACrashBringsTheWindowsBackOnAServerWithASpareOutput) {
    if (!testing::XorgDummyServer::runnable()) GTEST_SKIP() << "Xorg with the dummy driver needs root";
    auto server = testing::XorgDummyServer::start();
    if (!server) return testing::skipOrFailWithoutService(server.error());
    if (auto wm = (*server)->startWindowManager(); !wm) return testing::skipOrFailWithoutService(wm.error());
    crashPromotedAndRecover((*server)->display(), stateFile());
}

// The saved file is the only way back to the user's arrangement: a restore that did not take
// leaves it for the next start, and the temporary file of a write a kill cut short goes.
TEST_F(X11VirtualDisplayServerTest, AFailedRecoveryKeepsTheSavedArrangement) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    crashWithADisplay(desktop.server->display(), stateFile());
    const auto stale = stateFile().parent_path() / ".orvanta-tmp.0123456789abcdef";
    std::ofstream(stale) << "{\"width\":";
    auto saved = RandrArrangement::fromJson(readText(stateFile()));
    ASSERT_TRUE(saved);
    const auto lit = std::ranges::find_if(saved->crtcs, [](const auto& c) { return c.mode != 0; });
    ASSERT_NE(lit, saved->crtcs.end());
    lit->mode = 0x7FFFFFF;  // a mode this server does not have
    std::ofstream(stateFile(), std::ios::trunc) << saved->toJson();

    auto vd = factory(desktop.server->display());
    ASSERT_TRUE(vd);
    const auto recovered = vd->recoverAfterCrash();
    EXPECT_FALSE(recovered);
    EXPECT_EQ(RandrArrangement::fromJson(readText(stateFile())), saved);
    EXPECT_FALSE(std::filesystem::exists(stale));
}

// A saved arrangement names CRTCs and modes of the server it was taken on; a server without any
// display of ours is another one (restarted on the same display number) and keeps its own.
TEST_F(X11VirtualDisplayServerTest, AnArrangementSavedOnAnotherServerIsDropped) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    crashWithADisplay(desktop.server->display(), stateFile());
    auto next = testing::X11TestDesktop::start(1920, 1080);  // the server that runs after a restart
    ASSERT_TRUE(next) << next.error();
    const auto before = readArrangement(*next->x);
    ASSERT_TRUE(before);

    auto vd = factory(next->server->display());
    ASSERT_TRUE(vd);
    EXPECT_EQ(vd->recoverAfterCrash(), CrashRecovery::dropped);
    EXPECT_EQ(readArrangement(*next->x), before);
    EXPECT_FALSE(std::filesystem::exists(stateFile()));

    // One whose screen was wider is not applied either: the screen keeps its own size.
    auto wider = *before;
    wider.width = 3200;
    std::ofstream(stateFile()) << wider.toJson();
    EXPECT_EQ(vd->recoverAfterCrash(), CrashRecovery::dropped);
    EXPECT_EQ(readArrangement(*next->x), before);
}

TEST_F(X11VirtualDisplayServerTest, AnUnreadableSavedFileIsReportedAndRemoved) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    std::filesystem::create_directories(stateFile().parent_path());
    std::ofstream(stateFile()) << "{not json";
    auto vd = factory(desktop.server->display());
    ASSERT_TRUE(vd);
    EXPECT_FALSE(vd->recoverAfterCrash());
    EXPECT_FALSE(std::filesystem::exists(stateFile()));
}

TEST_F(X11VirtualDisplayServerTest, ToleratesTheUserRemovingTheDisplay) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    auto& x = *desktop.x;
    const auto before = readArrangement(x);
    auto vd = factory(desktop.server->display());
    ASSERT_TRUE(vd);
    const auto id = vd->create(request(1280, 800));
    ASSERT_TRUE(id);
    Reply<xcb_generic_error_t>(xcb_request_check(x.get(), xcb_randr_delete_monitor_checked(x.get(), x.root(), *id)));
    EXPECT_FALSE(vd->bounds(*id));
    EXPECT_FALSE(vd->currentMode(*id));
    EXPECT_NE(vd->setMode(*id, {1280, 800}), 0);
    vd->release(*id);
    EXPECT_EQ(readArrangement(x).value_or(RandrArrangement{}), *before);
}

// A server with a spare connector: the display gets an output and a CRTC of its own.
TEST_F(X11VirtualDisplayServerTest, UsesASpareOutputOnXorgWithTheDummyDriver) {
    if (!testing::XorgDummyServer::runnable()) GTEST_SKIP() << "Xorg with the dummy driver needs root";
    auto server = testing::XorgDummyServer::start();
    if (!server) {
        testing::skipOrFailWithoutService(server.error());
        return;
    }
    auto x = XConnection::open((*server)->display());
    ASSERT_TRUE(x);
    const auto before = readArrangement(**x);
    ASSERT_TRUE(before);
    auto vd = factory((*server)->display());
    ASSERT_TRUE(vd);
    EXPECT_EQ(vd->strategy(), VirtualDisplayStrategy::spareOutput);
    const auto main = vd->mainBounds();
    ASSERT_TRUE(main);
    const auto id = vd->create(request(2254, 1268));
    ASSERT_TRUE(id) << id.error();
    EXPECT_EQ(vd->bounds(*id), (DisplayBounds{static_cast<std::int32_t>(main->width), 0, 2254, 1268}));
    EXPECT_EQ(vd->mainBounds(), main);
    const auto during = readArrangement(**x);
    ASSERT_TRUE(during);
    // Two CRTCs drive pictures now, the main one unchanged.
    EXPECT_EQ(std::count_if(during->crtcs.begin(), during->crtcs.end(), [](const auto& c) { return c.mode != 0; }), 2);
    xcb_warp_pointer((*x)->get(), XCB_NONE, (*x)->root(), 0, 0, 0, 0, static_cast<std::int16_t>(main->width + 2000),
                     1200);
    Reply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply((*x)->get(), xcb_query_pointer((*x)->get(), (*x)->root()), nullptr));
    ASSERT_TRUE(pointer);
    EXPECT_EQ(pointer->root_x, main->width + 2000);
    EXPECT_EQ(pointer->root_y, 1200);

    vd->release(*id);
    EXPECT_EQ(readArrangement(**x).value_or(RandrArrangement{}), *before);
}

}  // namespace
}  // namespace orvanta::platform::x11
