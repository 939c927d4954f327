#include "platform/x11/X11CompositorFrameComposer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "platform/x11/X11Cover.h"
#include "platform/x11/X11ScreenSource.h"
#include "support/ManualExecutor.h"
#include "support/X11TestDesktop.h"

namespace orvanta::platform::x11 {
namespace {

using namespace std::chrono_literals;

std::vector<std::uint32_t> pixelsOf(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint32_t> result(bytes.size() / 4);
    std::memcpy(result.data(), bytes.data(), bytes.size());
    for (auto& p : result) p &= 0xFFFFFF;
    return result;
}

TEST(X11CompositorFrameComposerTest, ComposesDisplaysAndWindowsUnderTheCoversAndLetsGoWhenIdle) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    desktop.setBackground(0x205080);
    const xcb_window_t red = desktop.window(100, 100, 600, 400, 0xCC2222);
    desktop.window(400, 300, 700, 500, 0x22CC22);
    const auto uncovered = desktop.pixels(200, 150, 800, 600);

    auto covers = X11BlackoutCovers::open(desktop.server->display());
    ASSERT_TRUE(covers);
    const auto cover = (*covers)->createCover({0, 0, 1920, 1080});
    ASSERT_TRUE(cover);
    (*covers)->revealCover(*cover);

    testing::ManualExecutor timers;
    auto composer = X11CompositorFrameComposer::create(timers, desktop.server->display(), 2s);
    std::vector<std::uint8_t> out(800 * 600 * 4);
    ASSERT_TRUE(composer->compose(DisplayTarget{1}, {200, 150, 800, 600}, {*cover}, out, 800 * 4));
    EXPECT_EQ(pixelsOf(out), uncovered);

    std::vector<std::uint8_t> window(600 * 400 * 4);
    ASSERT_TRUE(composer->compose(WindowTarget{red}, {100, 100, 600, 400}, {*cover}, window, 600 * 4));
    EXPECT_EQ(pixelsOf(window), std::vector<std::uint32_t>(600 * 400, 0xCC2222));
    EXPECT_FALSE(composer->compose(WindowTarget{0x7FFFFF}, {0, 0, 10, 10}, {*cover}, window, 40));

    // Pictures keep it alive; a whole idle period without one lets the windows
    // go.
    timers.advance(1500ms);
    ASSERT_TRUE(composer->compose(DisplayTarget{1}, {200, 150, 800, 600}, {*cover}, out, 800 * 4));
    timers.advance(1500ms);
    EXPECT_TRUE(composer->composing());
    timers.advance(2000ms);
    EXPECT_FALSE(composer->composing());
    ASSERT_TRUE(composer->compose(DisplayTarget{1}, {200, 150, 800, 600}, {*cover}, out, 800 * 4));
    EXPECT_EQ(pixelsOf(out), uncovered);
    EXPECT_TRUE(composer->composing());

    // A stream composing from it watches: a still desktop keeps the windows while watched, and
    // a change beneath the covers is news at once.
    std::atomic<int> news{0};
    auto watch = composer->watch([&] { ++news; });
    timers.advance(6s);
    EXPECT_TRUE(composer->composing());
    desktop.paint(red, 0x00FF00);
    for (int i = 0; i < 2000 && news == 0; ++i) desktop.sync();
    EXPECT_GT(news, 0);
    auto changed = composer->compose(DisplayTarget{1}, {200, 150, 800, 600}, {*cover}, out, 800 * 4);
    ASSERT_TRUE(changed);
    EXPECT_TRUE(*changed);
    auto still = composer->compose(DisplayTarget{1}, {200, 150, 800, 600}, {*cover}, out, 800 * 4);
    ASSERT_TRUE(still);
    EXPECT_FALSE(*still);
    watch.reset();
    timers.advance(4s);
    EXPECT_FALSE(composer->composing());
}

// What a stream delivers, as 0xRRGGBB pixels, one picture after another.
class Pictures {
public:
    ScreenStream::ImageHandler handler() {
        return [this](const ScreenImage& image) {
            std::vector<std::uint32_t> pixels;
            for (int y = 0; y < image.height; ++y) {
                const auto* row = reinterpret_cast<const std::uint32_t*>(image.pixels.data() + y * image.stride);
                for (int x = 0; x < image.width; ++x) pixels.push_back(row[x] & 0xFFFFFF);
            }
            std::lock_guard lock(mutex_);
            pictures_.push_back(std::move(pixels));
            arrived_.notify_all();
        };
    }
    bool waitFor(const std::function<bool(const std::vector<std::uint32_t>&)>& wanted) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, 10s, [&] { return !pictures_.empty() && wanted(pictures_.back()); });
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::vector<std::uint32_t>> pictures_;
};

// The screen source switches to this composer while it excludes windows: a display stream and a
// window stream under the covers show what is drawn beneath them as it is drawn, though the
// screen itself shows no change.
TEST(X11CompositorFrameComposerTest, StreamsUnderTheCoversFollowTheDesktop) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    desktop.setBackground(0x205080);
    const xcb_window_t red = desktop.window(100, 100, 600, 400, 0xCC2222);
    const auto uncovered = desktop.pixels(0, 0, 1920, 1080);
    auto covers = X11BlackoutCovers::open(desktop.server->display());
    ASSERT_TRUE(covers);
    const auto cover = (*covers)->createCover({0, 0, 1920, 1080});
    ASSERT_TRUE(cover);
    (*covers)->revealCover(*cover);

    testing::ManualExecutor timers;
    X11ScreenSource source(desktop.server->display(),
                           X11CompositorFrameComposer::create(timers, desktop.server->display()));
    const auto content = source.content();
    ASSERT_TRUE(content && content->displays.size() == 1);
    auto display = source.openStream({DisplayTarget{content->displays[0].id}, false, 60, {*cover}});
    auto window = source.openStream({WindowTarget{red}, false, 60, {*cover}});
    ASSERT_TRUE(display && window);
    Pictures ofDisplay;
    Pictures ofWindow;
    ASSERT_TRUE((*display)->start(ofDisplay.handler(), [](std::string) {}));
    ASSERT_TRUE((*window)->start(ofWindow.handler(), [](std::string) {}));
    EXPECT_TRUE(ofDisplay.waitFor([&](const auto& picture) { return picture == uncovered; }));
    EXPECT_TRUE(ofWindow.waitFor([](const auto& picture) { return picture[0] == 0xCC2222; }));

    for (const std::uint32_t colour : {0xFFFFFFu, 0x22CC22u}) {
        desktop.paint(red, colour);
        EXPECT_TRUE(ofDisplay.waitFor([&](const auto& picture) { return picture[150 * 1920 + 150] == colour; }));
        EXPECT_TRUE(ofWindow.waitFor([&](const auto& picture) { return picture[0] == colour; }));
    }
    EXPECT_EQ(desktop.pixels(150, 150, 1, 1), std::vector<std::uint32_t>{0});
    (*display)->stop();
    (*window)->stop();
}

}  // namespace
}  // namespace orvanta::platform::x11
