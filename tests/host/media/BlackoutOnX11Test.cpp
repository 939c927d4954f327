// The overlay and the X11 covers together, with a compositing capture in the hook: the screen
// turns black only after capture leaves the covers out, and capture keeps seeing the desktop.
#include <gtest/gtest.h>

#include <atomic>

#include "host/media/Blackout.h"
#include "host/media/VirtualDisplay.h"
#include "platform/x11/X11Compositor.h"
#include "platform/x11/X11Cover.h"
#include "platform/x11/X11VirtualDisplay.h"
#include "support/ManualExecutor.h"
#include "support/TempDir.h"
#include "support/X11TestDesktop.h"

namespace orvanta::host {
namespace {

constexpr platform::DisplayBounds kScreen{0, 0, 1920, 1080};

std::vector<std::uint32_t> pixelsOf(const platform::x11::ComposedImage& image) {
    std::vector<std::uint32_t> result;
    for (int y = 0; y < image.height; ++y) {
        const auto* row =
            reinterpret_cast<const std::uint32_t*>(image.pixels + static_cast<std::ptrdiff_t>(y) * image.stride);
        for (int x = 0; x < image.width; ++x) result.push_back(row[x] & 0xFFFFFF);
    }
    return result;
}

// Counts how often the overlay reads the screens.
class CountingCovers final : public platform::BlackoutCovers {
public:
    explicit CountingCovers(platform::BlackoutCovers& real) : real_(real) {}
    std::atomic<int> screenReads{0};

    std::vector<platform::CoverScreen> screens() override {
        ++screenReads;
        return real_.screens();
    }
    void observeScreens(std::function<void()> changed) override { real_.observeScreens(std::move(changed)); }
    std::optional<std::uint32_t> createCover(const platform::DisplayBounds& f) override { return real_.createCover(f); }
    void moveCover(std::uint32_t id, const platform::DisplayBounds& f) override { real_.moveCover(id, f); }
    void revealCover(std::uint32_t id) override { real_.revealCover(id); }
    void removeCover(std::uint32_t id) override { real_.removeCover(id); }

private:
    platform::BlackoutCovers& real_;
};

bool eventually(testing::X11TestDesktop& desktop, const std::function<bool()>& done) {
    for (int i = 0; i < 2000 && !done(); ++i) desktop.sync();
    return done();
}

TEST(BlackoutOnX11Test, CoversTheScreensButNeverTheCapture) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    desktop.setBackground(0x205080);
    desktop.window(100, 100, 600, 400, 0xCC2222);
    desktop.window(400, 300, 700, 500, 0x22CC22);
    const auto uncovered = desktop.pixels(0, 0, 1920, 1080);

    auto covers = platform::x11::X11BlackoutCovers::open(desktop.server->display());
    ASSERT_TRUE(covers);
    auto compositor = platform::x11::X11Compositor::open(desktop.server->display());
    ASSERT_TRUE(compositor);
    testing::ManualExecutor main;
    std::vector<std::string> lines;
    CountingCovers counting(**covers);
    auto overlay = BlackoutOverlay::create(main, counting, [&](std::string_view l) { lines.emplace_back(l); });
    bool blackWhenHookRan = true;
    overlay->beforeReveal = [&](const BlackoutOverlay::CoverIDs& ids, std::function<void()> done) {
        blackWhenHookRan = desktop.pixels(800, 600, 1, 1)[0] == 0;
        (*compositor)->setExcluded(ids);
        done();
    };

    overlay->request(true);
    main.runUntilIdle();
    EXPECT_FALSE(blackWhenHookRan);
    EXPECT_EQ(overlay->currentIDs().size(), 1u);
    EXPECT_TRUE(eventually(desktop, [&] { return desktop.pixels(800, 600, 1, 1)[0] == 0; }));
    const auto covered = desktop.pixels(0, 0, 1920, 1080);
    EXPECT_TRUE(std::all_of(covered.begin(), covered.end(), [](std::uint32_t p) { return p == 0; }));
    const auto image = (*compositor)->compose(kScreen);
    ASSERT_TRUE(image);
    EXPECT_EQ(pixelsOf(*image), uncovered);
    EXPECT_EQ(lines, (std::vector<std::string>{"blackout: cover", "blackout: revealed 1 window(s) on 1 display(s)"}));

    // A virtual display of the host's appears: the screens are synced again, the main screen keeps
    // its cover and the new display stays uncovered.
    const auto coverIDs = overlay->currentIDs();
    testing::TempDir dir;
    auto factory = platform::x11::X11VirtualDisplayFactory::open(desktop.server->display(), dir.path() / "state.json");
    ASSERT_TRUE(factory);
    ASSERT_TRUE((*factory)->create({std::string(platform::kVirtualDisplayMark), {1280, 720}, {{1280, 720}}, 60}));
    desktop.window(2200, 100, 100, 100, 0xFFFFFF);
    const int reads = counting.screenReads;
    ASSERT_TRUE(main.runUntil([&] { return counting.screenReads > reads; }));
    EXPECT_EQ(overlay->currentIDs(), coverIDs);
    EXPECT_EQ(desktop.pixels(2210, 110, 1, 1), std::vector<std::uint32_t>{0xFFFFFF});

    overlay->request(false);
    main.runUntilIdle();
    EXPECT_TRUE(overlay->currentIDs().empty());
    EXPECT_TRUE(eventually(desktop, [&] { return desktop.pixels(800, 600, 1, 1)[0] == 0x22CC22; }));
}

TEST(VirtualDisplayOnX11Test, CreatesAHiDPIDisplayRightOfTheMainOneAndReleasesIt) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    testing::TempDir dir;
    auto factory = platform::x11::X11VirtualDisplayFactory::open(desktop.server->display(), dir.path() / "state.json");
    ASSERT_TRUE(factory);
    const auto before = platform::x11::readArrangement(*desktop.x);
    testing::ManualExecutor queue;
    std::vector<std::string> lines;
    VirtualDisplayService service(
        **factory, queue, [&](std::string_view l) { lines.emplace_back(l); }, [](std::chrono::milliseconds) {});
    ASSERT_TRUE(service.isAvailable());
    const auto size = VirtualDisplay::aspectDisplaySize(1920, 1080, 1, std::nullopt);
    ASSERT_TRUE(size);
    const auto display = service.create(*size);
    ASSERT_TRUE(display);
    EXPECT_EQ(display->origin, (DisplayOrigin{1920, 0}));
    EXPECT_EQ(lines,
              std::vector<std::string>{"virtual display: created id=" + std::to_string(display->displayID) +
                                       " requested 2254x1268px HiDPI mode 2254x1268px (1127x634pt) origin 1920,0"});
    service.release(display);
    queue.runUntilIdle();
    EXPECT_EQ(platform::x11::readArrangement(*desktop.x), before);
}

}  // namespace
}  // namespace orvanta::host
