#include "host/media/Capture.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "support/FakeScreenSource.h"
#include "support/TempDir.h"

namespace orvanta::host {
namespace {

using platform::ScreenRect;
using platform::ShareableContent;
using platform::ShareableDisplay;
using platform::ShareableWindow;
using testing::FakeScreenSource;

ShareableDisplay display(std::uint32_t id, double width, double height, bool ownVirtual = false) {
    return {id, {0, 0, width, height}, static_cast<std::int64_t>(width), static_cast<std::int64_t>(width), ownVirtual};
}

// A solid BGRX picture.
struct Picture {
    Picture(int w, int h, std::array<std::uint8_t, 4> bgrx) : width(w), height(h), bytes(std::size_t(w * h) * 4) {
        for (std::size_t i = 0; i < bytes.size(); i += 4) std::copy(bgrx.begin(), bgrx.end(), bytes.begin() + i);
    }
    platform::ScreenImage image(std::uint64_t pts = 0) const { return {bytes, width, height, width * 4, pts}; }
    int width, height;
    std::vector<std::uint8_t> bytes;
};

class CaptureTest : public ::testing::Test {
protected:
    std::shared_ptr<Capture> make(DeviceKind kind = DeviceKind::iPad) {
        Capture::Environment environment;
        environment.source = source;
        environment.coverIDs = [this] {
            std::lock_guard guard(mutex);
            return covers;
        };
        environment.contentBounds = [this](std::uint32_t) { return contentBounds; };
        environment.log = [this](std::string_view line) {
            std::lock_guard guard(mutex);
            lines.emplace_back(line);
        };
        environment.wait = [this](std::chrono::milliseconds ms) {
            std::lock_guard guard(mutex);
            waits.push_back(ms);
        };
        auto capture = Capture::create(kind, std::move(environment));
        capture->onError = [this](std::string text) {
            std::lock_guard guard(mutex);
            errors.push_back(std::move(text));
        };
        return capture;
    }

    bool start(const std::shared_ptr<Capture>& capture, Capture::StartOptions options = {}) {
        std::promise<bool> done;
        int calls = 0;
        capture->start(std::move(options), [&](bool ok) {
            ++calls;
            done.set_value(ok);
        });
        const bool ok = done.get_future().get();
        EXPECT_EQ(calls, 1);
        return ok;
    }

    bool logged(std::string_view line) {
        std::lock_guard guard(mutex);
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    std::shared_ptr<FakeScreenSource> source = std::make_shared<FakeScreenSource>();
    std::mutex mutex;
    std::set<std::uint32_t> covers;
    std::optional<ScreenRect> contentBounds;
    std::vector<std::string> lines;
    std::vector<std::string> errors;
    std::vector<std::chrono::milliseconds> waits;
};

// The last owner may let go while a task of the capture's own runs (a cover update in flight): the
// stream it was stopping still ends before the capture is gone, not later on a thread of its own.
TEST(CaptureTeardownTest, EndsAStreamBeingStoppedBeforeTheCaptureIsGone) {
    auto source = std::make_shared<FakeScreenSource>();
    source->contents = {ShareableContent{{display(1, 640, 360)}, 1, {}}};
    Capture::Environment environment;
    environment.source = source;
    environment.log = [](std::string_view) {};
    auto capture = Capture::create(DeviceKind::iPad, std::move(environment));
    std::promise<bool> started;
    capture->start({}, [&](bool ok) { started.set_value(ok); });
    ASSERT_TRUE(started.get_future().get());
    std::promise<bool> stoppedWhenGone;
    source->onDestroyed = [stream = source->lastStream(), &stoppedWhenGone] {
        stoppedWhenGone.set_value(stream->stopped);
    };
    source.reset();

    std::promise<void> release;
    capture->updateOverlayExclusions([held = release.get_future().share()] { held.wait(); });
    capture->stop();
    capture.reset();
    release.set_value();
    auto gone = stoppedWhenGone.get_future();
    ASSERT_EQ(gone.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(gone.get());
}

struct ChoiceCase {
    const char* name;
    ShareableContent content;
    Capture::StartOptions options;
    std::optional<std::uint32_t> chosen;  // none: start fails with the no-display text
    const char* logLine;
};

TEST_F(CaptureTest, ChoosesTheDisplayAndSkipsOwnVirtualDisplays) {
    const auto physical = display(1, 1920, 1080);
    const auto other = display(2, 1280, 720);
    const auto virtualOne = display(9, 2560, 1600, true);
    const std::vector<ChoiceCase> cases = {
        {"requested and listed", {{physical, virtualOne}, 1, {}}, {.displayID = 9u}, 9, nullptr},
        {"main by default", {{other, physical}, 1, {}}, {}, 1, nullptr},
        {"own virtual main is skipped", {{virtualOne, other}, 9, {}}, {}, 2, nullptr},
        {"requested missing falls back",
         {{physical}, 1, {}},
         {.displayID = 5u},
         1,
         "capture: requested display 5 unavailable, using physical display 1"},
        {"requested missing but required", {{physical}, 1, {}}, {.displayID = 5u, .requireDisplay = true}, {}, nullptr},
        {"only own virtual displays", {{virtualOne}, 9, {}}, {}, {}, nullptr},
        {"nothing at all", {}, {}, {}, nullptr},
    };
    for (const auto& c : cases) {
        source->contents = {c.content};
        errors.clear();
        lines.clear();
        auto capture = make();
        const bool ok = start(capture, c.options);
        EXPECT_EQ(ok, c.chosen.has_value()) << c.name;
        if (c.chosen) {
            EXPECT_EQ(capture->capturedDisplayID(), c.chosen) << c.name;
            EXPECT_EQ(source->lastStream()->settings.target,
                      platform::CaptureTarget{platform::DisplayTarget{*c.chosen}});
        } else {
            EXPECT_EQ(errors, std::vector<std::string>{std::string(Capture::kNoDisplayText)}) << c.name;
        }
        if (c.logLine) {
            EXPECT_TRUE(logged(c.logLine)) << c.name;
        }
    }
}

TEST_F(CaptureTest, WaitsForARequestedDisplayThatShowsUpLate) {
    const ShareableContent without{{display(1, 1920, 1080)}, 1, {}};
    ShareableContent with = without;
    with.displays.push_back(display(7, 1280, 800));
    source->contents = {without, without, without, with};
    auto capture = make();
    ASSERT_TRUE(start(capture, {.displayID = 7u}));
    EXPECT_EQ(capture->capturedDisplayID(), 7u);
    EXPECT_EQ(waits, std::vector<std::chrono::milliseconds>(3, std::chrono::milliseconds(200)));
    EXPECT_EQ(std::ranges::count_if(lines, [](const auto& l) { return l.starts_with("capture: requested"); }), 0);

    source->contents = {without};
    waits.clear();
    auto fallback = make();
    ASSERT_TRUE(start(fallback, {.displayID = 7u}));
    EXPECT_EQ(waits.size(), 10u) << "about 2 s in all";
    EXPECT_TRUE(logged("capture: requested display 7 unavailable, using physical display 1"));
}

TEST_F(CaptureTest, SizesAndReportsTheOutput) {
    source->contents = {ShareableContent{{display(1, 3840, 2160)}, 1, {}}};
    auto capture = make();
    ASSERT_TRUE(start(capture));
    EXPECT_EQ(capture->width(), 1920);
    EXPECT_EQ(capture->height(), 1080);
    EXPECT_FALSE(capture->windowGeometry());
    EXPECT_TRUE(capture->running());
    EXPECT_TRUE(logged("capture started 1920x1080"));

    bool again = false;
    capture->start({}, [&](bool ok) { again = ok; });
    EXPECT_TRUE(again) << "a start while running only reports success, at once";
    capture->stop();
    EXPECT_FALSE(capture->running());
    EXPECT_TRUE(logged("capture stopped"));
    EXPECT_EQ(capture->width(), 1920) << "sizes keep their values";
}

TEST_F(CaptureTest, StopDuringStartSupersedesIt) {
    source->contents = {ShareableContent{{display(1, 1920, 1080)}, 1, {}}};
    auto capture = make();
    source->onOpen = [&] { capture->stop(); };
    EXPECT_FALSE(start(capture));
    EXPECT_TRUE(logged("capture start superseded by stop"));
    EXPECT_TRUE(source->lastStream()->stopped);
    EXPECT_FALSE(capture->running());
}

TEST_F(CaptureTest, StartFailuresReachOnError) {
    source->contents = {std::unexpected(std::string("content unavailable"))};
    EXPECT_FALSE(start(make()));
    source->contents = {ShareableContent{{display(1, 1920, 1080)}, 1, {}}};
    source->openError = "cannot open";
    EXPECT_FALSE(start(make()));
    source->openError.reset();
    source->startError = "cannot start";
    EXPECT_FALSE(start(make()));
    EXPECT_EQ(errors, (std::vector<std::string>{"content unavailable", "cannot open", "cannot start"}));
}

TEST_F(CaptureTest, WindowCaptureNeedsAUsableArea) {
    const ShareableWindow window{42, {0, 0, 0, 0}};
    source->contents = {ShareableContent{{display(1, 1920, 1080)}, 1, {window}}};
    EXPECT_FALSE(start(make(), {.window = window}));
    contentBounds = ScreenRect{0, 0, std::numeric_limits<double>::infinity(), 100};
    EXPECT_FALSE(start(make(), {.window = window}));
    EXPECT_EQ(errors, std::vector<std::string>(2, std::string(Capture::kNoWindowAreaText)));
}

struct FrameSink {
    void operator()(std::shared_ptr<const PixelBuffer> frame, std::uint64_t pts) {
        std::lock_guard guard(mutex);
        frames.emplace_back(std::move(frame), pts);
        arrived.notify_all();
    }
    std::pair<std::shared_ptr<const PixelBuffer>, std::uint64_t> next(std::size_t index) {
        std::unique_lock guard(mutex);
        arrived.wait_for(guard, std::chrono::seconds(10), [&] { return frames.size() > index; });
        return frames.size() > index ? frames[index] : std::pair<std::shared_ptr<const PixelBuffer>, std::uint64_t>{};
    }
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::pair<std::shared_ptr<const PixelBuffer>, std::uint64_t>> frames;
};

int lumaAt(const PixelBuffer& frame, int x, int y) { return frame.luma()[y * frame.lumaStride() + x]; }

TEST_F(CaptureTest, WindowIsScaledIntoItsPlaceOnBlack) {
    const ShareableWindow window{42, {100, 50, 200, 100}};
    source->contents = {ShareableContent{{display(1, 1920, 1080)}, 1, {window}}};
    auto capture = make();
    auto sink = std::make_shared<FrameSink>();
    capture->setFrameHandler([sink](auto frame, auto pts) { (*sink)(std::move(frame), pts); });
    ASSERT_TRUE(start(capture, {.window = window, .windowScale = 0.5}));
    EXPECT_TRUE(
        logged("window capture: id=42 scale=0.5 frame=(100, 50, 200, 100) source=(100, 50, 200, 100) "
               "destination=(50, 25, 100, 50) output=200x100"));
    ASSERT_TRUE(capture->windowGeometry());
    EXPECT_EQ(capture->capturedDisplayID(), std::nullopt);

    source->lastStream()->emit(Picture(200, 100, {0, 0, 255, 0}).image(123'456));  // red
    auto [frame, pts] = sink->next(0);
    ASSERT_TRUE(frame);
    EXPECT_EQ(pts, 123'456u);
    EXPECT_EQ(frame->width(), 200);
    EXPECT_NEAR(lumaAt(*frame, 100, 50), 81, 2) << "BT.601 red, video range";
    EXPECT_EQ(lumaAt(*frame, 10, 10), 16) << "black around the window";
    EXPECT_EQ(lumaAt(*frame, 160, 50), 16);
}

// Without a compositing manager the covers are children of the Composite overlay window, which no
// window listing shows: they are left out by their own ids, without waiting for a listing.
TEST_F(CaptureTest, CoversAreExcludedByTheirIdsAndFollowed) {
    covers = {5, 6};
    source->contents = {ShareableContent{{display(1, 1920, 1080)}, 1, {}}};
    auto capture = make();
    ASSERT_TRUE(start(capture));
    EXPECT_EQ(source->lastStream()->settings.excludedWindows, (std::set<std::uint32_t>{5, 6}));
    EXPECT_TRUE(logged("capture started 1920x1080 (excluding 2 blackout window(s))"));

    {
        std::lock_guard guard(mutex);
        covers = {5, 6, 7};
    }
    std::promise<void> done;
    capture->updateOverlayExclusions([&] { done.set_value(); });
    done.get_future().get();
    EXPECT_EQ(source->lastStream()->exclusions.back(), (std::set<std::uint32_t>{5, 6, 7}));
    EXPECT_EQ(capture->excludedOverlayIDs(), (std::set<std::uint32_t>{5, 6, 7}));
    EXPECT_TRUE(logged("capture: filter updated (excluding 3 blackout window(s))"));
    EXPECT_TRUE(waits.empty());

    capture->stop();
    bool called = false;
    capture->updateOverlayExclusions([&] { called = true; });
    EXPECT_TRUE(called) << "without a running capture, at once";
}

TEST_F(CaptureTest, WindowCaptureIsComposedWhileCoversAreUp) {
    covers = {5};
    const ShareableWindow window{42, {0, 0, 640, 480}};
    source->contents = {ShareableContent{{display(1, 1920, 1080)}, 1, {window}}};
    auto capture = make();
    ASSERT_TRUE(start(capture, {.window = window}));
    EXPECT_EQ(source->lastStream()->settings.excludedWindows, (std::set<std::uint32_t>{5}));
}

// The encoder is wired after the start: it begins with a picture grabbed for it, not with the one
// held since the start, which is as old as the encoder took to open.
TEST_F(CaptureTest, TheHandlerStartsFromAFreshPicture) {
    source->contents = {ShareableContent{{display(1, 640, 360)}, 1, {}}};
    auto capture = make();
    ASSERT_TRUE(start(capture));
    const Picture grey(640, 360, {128, 128, 128, 0});
    auto stream = source->lastStream();
    stream->emit(grey.image(1));
    stream->emit(grey.image(2));
    std::promise<void> asked;
    stream->onRedeliver = [&asked] { asked.set_value(); };
    auto sink = std::make_shared<FrameSink>();
    capture->setFrameHandler([sink](auto frame, auto pts) { (*sink)(std::move(frame), pts); });
    asked.get_future().wait();
    stream->emit(grey.image(3));  // the grab that was asked for
    EXPECT_EQ(sink->next(0).second, 3u);
    stream->emit(grey.image(4));
    EXPECT_EQ(sink->next(1).second, 4u);
    capture.reset();
    std::lock_guard guard(sink->mutex);
    EXPECT_EQ(sink->frames.size(), 2u) << "the held pictures never reach the handler";
}

// Frames converted while the encoder is busy wait in a one-frame mailbox: the encoder is handed
// the newest when it is done, never a queue of older ones.
TEST_F(CaptureTest, ABusyHandlerIsHandedOnlyTheNewestFrame) {
    source->contents = {ShareableContent{{display(1, 640, 360)}, 1, {}}};
    auto capture = make();
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto sink = std::make_shared<FrameSink>();
    capture->setFrameHandler([&entered, released, sink](auto frame, auto pts) {
        (*sink)(std::move(frame), pts);
        if (pts != 1) return;
        entered.set_value();
        released.wait();
    });
    ASSERT_TRUE(start(capture));
    const Picture grey(640, 360, {128, 128, 128, 0});
    source->lastStream()->emit(grey.image(1));
    entered.get_future().wait();
    for (std::uint64_t pts = 2; pts <= 5; ++pts) source->lastStream()->emit(grey.image(pts));
    release.set_value();
    EXPECT_EQ(sink->next(1).second, 5u);
    source->lastStream()->emit(grey.image(6));
    EXPECT_EQ(sink->next(2).second, 6u) << "the mailbox takes frames again once emptied";
    capture.reset();
    std::lock_guard guard(sink->mutex);
    EXPECT_EQ(sink->frames.size(), 3u);
}

TEST_F(CaptureTest, StreamEndingOnItsOwnIsReported) {
    source->contents = {ShareableContent{{display(1, 640, 360)}, 1, {}}};
    auto capture = make();
    ASSERT_TRUE(start(capture));
    source->lastStream()->endOnItsOwn("display disconnected");
    EXPECT_FALSE(capture->running());
    EXPECT_EQ(errors, std::vector<std::string>{"display disconnected"});
}

TEST_F(CaptureTest, FramesFlowUntilStopAndTheFirstIsSnapshotted) {
    testing::TempDir dir;
    const std::string path = (dir.path() / "shot.png").string();
    ::setenv(Capture::kSnapshotVariable.data(), path.c_str(), 1);
    source->contents = {ShareableContent{{display(1, 1280, 720)}, 1, {}}};
    auto capture = make();
    auto sink = std::make_shared<FrameSink>();
    capture->setFrameHandler([sink](auto frame, auto pts) { (*sink)(std::move(frame), pts); });
    ASSERT_TRUE(start(capture));
    const Picture red(1280, 720, {0, 0, 255, 0});
    source->lastStream()->emit(red.image(1));
    EXPECT_EQ(sink->next(0).second, 1u);
    source->lastStream()->emit(red.image(2));
    EXPECT_EQ(sink->next(1).second, 2u);
    ::unsetenv(Capture::kSnapshotVariable.data());
    EXPECT_NEAR(lumaAt(*sink->next(0).first, 640, 360), 63, 2) << "BT.709 red, video range";
    const auto snapshot = dir.path() / "shot-1280x720.png";
    EXPECT_TRUE(std::filesystem::exists(snapshot));
    EXPECT_TRUE(logged("snapshot saved: " + snapshot.string()));

    capture->repeatLastFrame();
    EXPECT_EQ(source->lastStream()->redeliveries, 1);
    capture->stop();
    source->lastStream()->emit(red.image(3));  // a picture already on its way when the stop came
    capture.reset();
    EXPECT_TRUE(source->lastStream()->stopped);
    EXPECT_EQ(sink->frames.size(), 2u);
}

}  // namespace
}  // namespace orvanta::host
