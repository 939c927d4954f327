// Window fit through the real window adapter, against a private X server with openbox, on windows
// the test makes and attributes to a child process, as another application's windows would be; the
// rest of the host is faked.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "FakeFitNeighbours.h"
#include "host/controller/HostFitAdapters.h"
#include "platform/x11/X11InputSink.h"
#include "platform/x11/X11WindowSystem.h"
#include "support/FakeIconRenderer.h"
#include "support/X11TestWindows.h"
#include "support/XvfbFixture.h"

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;

// The state letter of a process, as /proc shows it; 0 when it cannot be read.
char processState(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto end = text.rfind(')');
    return end != std::string::npos && end + 2 < text.size() ? text[end + 2] : 0;
}

class HostWindowFitX11Test : public ::testing::Test {
protected:
    void SetUp() override {
        ORVANTA_REQUIRE_XVFB(XvfbOptions{.windowManager = true});
        auto system = platform::x11::X11WindowSystem::open(display);
        auto sink = platform::x11::X11InputSink::open(sinkOwner, display);
        auto client = X11TestWindows::open(display);
        ASSERT_TRUE(system && sink && client);
        windowSystem = std::move(*system);
        inputSink = std::move(*sink);
        windows = std::move(*client);
        manager = std::make_unique<host::WindowManager>(*windowSystem, icons, slowClock, [](std::string_view) {});
        child = fork();
        if (child == 0) {
            for (;;) pause();
        }
        adapter = std::make_shared<host::FitWindowsAdapter>(*windowSystem, *manager, *inputSink, tasks, slowClock,
                                                            [this](std::string_view line) { host.logs.emplace_back(line); });
        host.physicalDisplay = 0;  // the X screen's own main display is the capture display
        fitter = host.make(queue, queue.clock(), adapter);
    }
    void TearDown() override {
        fitter.reset();
        queue.stop();
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }

    xcb_window_t open(const std::string& title, int width, int height) {
        TestWindowSpec spec;
        spec.title = title;
        spec.pid = child;
        spec.width = width;
        spec.height = height;
        auto window = windows->create(spec);
        EXPECT_TRUE(windows->waitManaged(window));
        return window;
    }
    host::Rect frame(xcb_window_t window) { return manager->aspectWindow(window).value().frame; }
    host::Rect centred(xcb_window_t window) {
        const auto f = frame(window);
        return {(1920 - f.width) / 2, (1080 - f.height) / 2, f.width, f.height};
    }
    void settle() {
        while (queue.runUntilIdle() + tasks.runUntilIdle() > 0) {
        }
    }
    // One watcher interval of virtual time.
    void pass() {
        queue.advance(500ms);
        tasks.advance(500ms);
        settle();
    }
    // Watcher passes, while the server's events arrive, until `done` holds.
    bool watchUntil(const std::function<bool()>& done) {
        return windows->waitUntil([&] {
            pass();
            return done();
        });
    }
    const std::optional<host::WindowFit>& fitted() const { return fitter->fitted(); }
    bool logged(std::string_view line) const { return host.logged(line); }
    bool fittedTo(xcb_window_t window) {
        return fitted() && fitted()->target.axWindow.window == window &&
               host::framesMatch(frame(window), centred(window));
    }

    // openbox applies moves asynchronously and, on a loaded machine, later than the settle bound:
    // the adapter waits on a clock twenty times slower.
    struct SlowClock final : base::Clock {
        std::uint64_t uptimeMicros() const override { return base::SystemClock::shared().uptimeMicros() / 20; }
    } slowClock;
    ManualExecutor sinkOwner;
    ManualExecutor tasks;
    FakeIconRenderer icons;
    std::unique_ptr<platform::x11::X11WindowSystem> windowSystem;
    std::unique_ptr<platform::x11::X11InputSink> inputSink;
    std::unique_ptr<X11TestWindows> windows;
    std::unique_ptr<host::WindowManager> manager;
    pid_t child = -1;
    ManualExecutor queue;
    FakeFitNeighbours host;
    std::shared_ptr<host::FitWindowsAdapter> adapter;
    std::shared_ptr<host::WindowFitter> fitter;
};

// A stopped application is woken on the task queue: the controller's queue never waits to see
// it running again.
TEST_F(HostWindowFitX11Test, AStoppedApplicationIsResumedOffTheControllersQueue) {
    const auto window = open("stopped", 500, 400);
    ASSERT_EQ(kill(child, SIGSTOP), 0);
    ASSERT_TRUE(windows->waitUntil([&] { return processState(child) == 'T'; }));
    host::WindowTarget target{"Stopped", host::WindowOwner::of(child), {child, window}, frame(window)};
    adapter->resumeIfStopped(target);
    EXPECT_FALSE(logged("window fit: resumed stopped app Stopped pid " + std::to_string(child)));
    settle();
    EXPECT_TRUE(logged("window fit: resumed stopped app Stopped pid " + std::to_string(child)));
    EXPECT_NE(processState(child), 'T');
}

TEST_F(HostWindowFitX11Test, FitsFollowsReturnsAndPutsTheWindowBack) {
    const auto first = open("first", 500, 400);
    const auto origin = frame(first);
    fitter->fitTarget({first, 1280, 800}, std::nullopt);
    settle();
    ASSERT_TRUE(windows->waitUntil([&] { return fittedTo(first); }));
    EXPECT_TRUE(host::framesMatch(fitted()->appliedFrame, centred(first)));
    EXPECT_EQ(fitted()->originalOrigin, (platform::Point{origin.x, origin.y}));

    // The user drags the fitted window: pointer input follows it into the moved picture, which
    // shows the window without openbox's decorations.
    const auto placed = frame(first);
    const auto shown = manager->contentBounds(first).value();
    ASSERT_NE(shown, placed);
    const platform::ScreenRect shownRect{shown.x, shown.y, shown.width, shown.height};
    const auto geometry = host::WindowCaptureGeometry::make(shownRect, 1280, 800, 1.0);
    host.geometry = geometry;
    windowSystem->setAttribute({child, first}, "AXPosition", platform::Point{placed.x + 50, placed.y + 40});
    ASSERT_TRUE(watchUntil([&] { return host.mapping.targetRect.has_value(); }));
    ASSERT_TRUE(watchUntil([&] { return host.mapping.targetRect->x == geometry.canvasRect.x + 50; }));
    EXPECT_EQ(host.mapping.targetRect,
              (platform::DisplayRect{geometry.canvasRect.x + 50, geometry.canvasRect.y + 40, geometry.canvasRect.width,
                                     geometry.canvasRect.height}));
    EXPECT_EQ(host.mapping.visibleWindowRect,
              (platform::DisplayRect{geometry.sourceRect.x + 50, geometry.sourceRect.y + 40, geometry.sourceRect.width,
                                     geometry.sourceRect.height}));

    // A second window of the same process is followed; the first goes back where it was.
    const auto second = open("second", 640, 360);
    const auto ids = std::to_string(first) + " -> " + std::to_string(second);
    ASSERT_TRUE(watchUntil([&] { return logged("window fit: follow " + ids) && fittedTo(second); }));
    EXPECT_TRUE(windows->waitUntil([&] { return host::framesMatch(frame(first), origin); }));

    // Closing it returns to the first.
    windows->destroy(second);
    const auto back = std::to_string(second) + " -> " + std::to_string(first);
    ASSERT_TRUE(watchUntil([&] { return logged("window fit: return " + back) && fittedTo(first); }));

    // The end of the session puts the window back at its first origin.
    fitter->clear(true, false);
    EXPECT_FALSE(fitted());
    EXPECT_TRUE(windows->waitUntil([&] { return host::framesMatch(frame(first), origin); }));
}

}  // namespace
}  // namespace orvanta::testing
