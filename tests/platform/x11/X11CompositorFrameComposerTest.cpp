#include "platform/x11/X11CompositorFrameComposer.h"

#include <gtest/gtest.h>

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
}

// The screen source switches to this composer while it excludes windows: a display stream under
// the covers shows the desktop, and what was drawn beneath them.
TEST(X11CompositorFrameComposerTest, AScreenStreamUnderTheCoversShowsTheDesktop) {
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
    auto stream = source.openStream({DisplayTarget{content->displays[0].id}, false, 60, {*cover}});
    ASSERT_TRUE(stream) << stream.error();

    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::vector<std::uint32_t>> pictures;
    ASSERT_TRUE((*stream)->start(
        [&](const ScreenImage& image) {
            std::vector<std::uint32_t> pixels;
            for (int y = 0; y < image.height; ++y) {
                const auto* row = reinterpret_cast<const std::uint32_t*>(image.pixels.data() + y * image.stride);
                for (int x = 0; x < image.width; ++x) pixels.push_back(row[x] & 0xFFFFFF);
            }
            std::lock_guard lock(mutex);
            pictures.push_back(std::move(pixels));
            arrived.notify_all();
        },
        [](std::string) {}));
    const auto waitFor = [&](const std::function<bool(const std::vector<std::uint32_t>&)>& wanted) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, 10s, [&] { return !pictures.empty() && wanted(pictures.back()); });
    };
    EXPECT_TRUE(waitFor([&](const auto& picture) { return picture == uncovered; }));
    // Drawing beneath the covers damages nothing visible, so the stream is asked for a picture here.
    desktop.paint(red, 0xFFFFFF);
    (*stream)->redeliver();
    EXPECT_TRUE(waitFor([&](const auto& picture) { return picture[150 * 1920 + 150] == 0xFFFFFF; }));
    EXPECT_EQ(desktop.pixels(150, 150, 1, 1), std::vector<std::uint32_t>{0});
    (*stream)->stop();
}

}  // namespace
}  // namespace orvanta::platform::x11
