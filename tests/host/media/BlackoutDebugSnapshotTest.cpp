// The blackout screenshot check: the luma sampling, the files and lines of a run against a source
// whose displays paint solid colours, and the real covers of a private X server as a plain grab sees
// them beside the host's own capture of the same moment.
#include <gtest/gtest.h>

#include <fstream>

#include "host/media/Blackout.h"
#include "host/media/BlackoutDebugSnapshot.h"
#include "platform/x11/X11Compositor.h"
#include "platform/x11/X11Cover.h"
#include "platform/x11/X11ScreenSource.h"
#include "support/ManualExecutor.h"
#include "support/TempDir.h"
#include "support/X11TestDesktop.h"

namespace orvanta::host {
namespace {

using namespace std::chrono_literals;

struct Picture {
    std::vector<std::uint8_t> pixels;
    int width = 0;
    int height = 0;
    platform::ScreenImage image() const { return {pixels, width, height, width * 4, 0}; }
};

Picture solid(int width, int height, std::uint32_t rgb) {
    Picture picture{std::vector<std::uint8_t>(static_cast<std::size_t>(width * height * 4)), width, height};
    for (std::size_t i = 0; i < picture.pixels.size(); i += 4) {
        picture.pixels[i] = rgb & 0xFF;
        picture.pixels[i + 1] = (rgb >> 8) & 0xFF;
        picture.pixels[i + 2] = (rgb >> 16) & 0xFF;
    }
    return picture;
}

void paint(Picture& picture, int x, int y, std::uint32_t rgb) {
    auto* pixel = picture.pixels.data() + (static_cast<std::ptrdiff_t>(y) * picture.width + x) * 4;
    pixel[0] = rgb & 0xFF;
    pixel[1] = (rgb >> 8) & 0xFF;
    pixel[2] = (rgb >> 16) & 0xFF;
}

TEST(BlackoutSnapshotLuma, SamplesAGridOfAbout160By100) {
    EXPECT_EQ(BlackoutDebugSnapshot::meanLuma(solid(64, 48, 0x000000).image()), 0.0);
    EXPECT_NEAR(BlackoutDebugSnapshot::meanLuma(solid(64, 48, 0xFFFFFF).image()), 255.0, 1e-9);
    EXPECT_NEAR(BlackoutDebugSnapshot::meanLuma(solid(2, 2, 0x205080).image()), 0.299 * 32 + 0.587 * 80 + 0.114 * 128,
                1e-9);
    EXPECT_EQ(BlackoutDebugSnapshot::meanLuma({}), 0.0);

    // Under 160 by 100 every pixel is a sample: one white pixel of 9,600 moves the mean.
    auto small = solid(120, 80, 0x000000);
    paint(small, 119, 79, 0xFFFFFF);
    EXPECT_NEAR(BlackoutDebugSnapshot::meanLuma(small.image()), 255.0 / 9600, 1e-9);

    // 5120 by 2880 is sampled every 32 columns and every 28 rows.
    auto large = solid(5120, 2880, 0x000000);
    paint(large, 32, 28, 0xFFFFFF);
    paint(large, 33, 28, 0xFFFFFF);
    paint(large, 32, 29, 0xFFFFFF);
    const double samples = 160.0 * ((2880 + 27) / 28);
    EXPECT_NEAR(BlackoutDebugSnapshot::meanLuma(large.image()), 255.0 / samples, 1e-9);
}

// Displays that paint one colour each; a grab of a display listed in `failing` fails.
class SolidScreens final : public platform::ScreenSource {
public:
    std::vector<std::pair<platform::ShareableDisplay, std::uint32_t>> displays;
    std::set<std::uint32_t> failing;
    bool contentFails = false;
    std::vector<platform::StreamSettings> opened;

    std::expected<platform::ShareableContent, std::string> content() override {
        if (contentFails) return std::unexpected(std::string("no server"));
        platform::ShareableContent content;
        for (const auto& [display, colour] : displays) content.displays.push_back(display);
        return content;
    }
    std::expected<std::unique_ptr<platform::ScreenStream>, std::string> openStream(
        const platform::StreamSettings& settings) override {
        opened.push_back(settings);
        const auto id = std::get<platform::DisplayTarget>(settings.target).id;
        if (failing.contains(id)) return std::unexpected(std::string("refused"));
        for (const auto& [display, colour] : displays) {
            if (display.id == id)
                return std::make_unique<Stream>(solid(display.frame.width, display.frame.height, colour));
        }
        return std::unexpected(std::string("unknown display"));
    }

private:
    static Picture solid(double width, double height, std::uint32_t colour) {
        return host::solid(static_cast<int>(width), static_cast<int>(height), colour);
    }
    class Stream final : public platform::ScreenStream {
    public:
        explicit Stream(Picture picture) : picture_(std::move(picture)) {}
        std::expected<void, std::string> start(ImageHandler onImage, StopHandler) override {
            onImage(picture_.image());
            return {};
        }
        void stop() override {}
        std::expected<void, std::string> setExcludedWindows(std::set<std::uint32_t>) override { return {}; }
        void redeliver() override {}

    private:
        Picture picture_;
    };
};

TEST(BlackoutSnapshotRun, SavesAndLogsEveryPhysicalDisplay) {
    testing::TempDir dir;
    const std::string prefix = (dir.path() / "shot").string();
    SolidScreens screens;
    screens.displays = {{{.id = 1, .frame = {0, 0, 64, 32}}, 0x000000},
                        {{.id = 2, .frame = {64, 0, 16, 16}, .ownVirtual = true}, 0x808080},
                        {{.id = 3, .frame = {80, 0, 20, 10}}, 0xFFFFFF},
                        {{.id = 4, .frame = {100, 0, 8, 8}}, 0x808080}};
    screens.failing = {4};
    std::vector<std::string> lines;
    const auto log = [&](std::string_view line) { lines.emplace_back(line); };

    BlackoutDebugSnapshot::shoot(prefix, screens, log);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "debug blackout snapshot: display 1 64x32 meanLuma=0.0 saved " + prefix + "-1.png",
                         "debug blackout snapshot: display 3 20x10 meanLuma=255.0 saved " + prefix + "-3.png",
                         "debug blackout snapshot: capture failed for display 4",
                     }));
    for (const auto& settings : screens.opened) {
        EXPECT_FALSE(settings.showsCursor);
        EXPECT_TRUE(settings.excludedWindows.empty());
    }
    EXPECT_TRUE(std::filesystem::exists(prefix + "-1.png"));
    EXPECT_FALSE(std::filesystem::exists(prefix + "-2.png"));
    const auto white = testing::readFile(prefix + "-3.png");

    // A second run replaces the file, and no temporary file stays behind.
    screens.displays[2].second = 0x123456;
    BlackoutDebugSnapshot::shoot(prefix, screens, log);
    EXPECT_NE(testing::readFile(prefix + "-3.png"), white);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 2);

    // An unwritable place still gets its line.
    lines.clear();
    BlackoutDebugSnapshot::shoot("/nonexistent/dir/shot", screens, log);
    EXPECT_EQ(lines.at(0), "debug blackout snapshot: display 1 64x32 meanLuma=0.0 saved /nonexistent/dir/shot-1.png");

    lines.clear();
    screens.contentFails = true;
    BlackoutDebugSnapshot::shoot(prefix, screens, log);
    EXPECT_EQ(lines, std::vector<std::string>{"debug blackout snapshot: no shareable content"});
}

TEST(BlackoutSnapshotOnX11Test, APlainGrabSeesTheCoversBlackWhileTheCaptureSeesTheDesktop) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    desktop.setBackground(0x205080);
    desktop.window(100, 100, 600, 400, 0xCC2222);
    auto covers = platform::x11::X11BlackoutCovers::open(desktop.server->display());
    ASSERT_TRUE(covers);
    auto compositor = platform::x11::X11Compositor::open(desktop.server->display());
    ASSERT_TRUE(compositor);
    testing::ManualExecutor main;
    testing::ManualExecutor work;
    auto overlay = BlackoutOverlay::create(main, **covers);
    overlay->beforeReveal = [&](const BlackoutOverlay::CoverIDs& ids, std::function<void()> done) {
        (*compositor)->setExcluded(ids);
        done();
    };
    std::vector<std::string> lines;
    const std::string prefix = std::string(ORVANTA_TEST_ARTIFACTS) + "/blackout-plain-grab";
    std::filesystem::create_directories(ORVANTA_TEST_ARTIFACTS);
    BlackoutDebugSnapshot::install(
        *overlay, prefix,
        {main, work, std::make_shared<platform::x11::X11ScreenSource>(desktop.server->display()),
         [&](std::string_view line) { lines.emplace_back(line); }});

    overlay->request(true);
    main.runUntilIdle();
    ASSERT_EQ(overlay->currentIDs().size(), 1u);
    for (int i = 0; i < 2000 && desktop.pixels(800, 600, 1, 1)[0] != 0; ++i) desktop.sync();
    main.advance(999ms);
    EXPECT_EQ(work.runUntilIdle(), 0u);
    main.advance(1ms);
    work.runUntilIdle();

    ASSERT_EQ(lines.size(), 1u);
    const std::string expected = "debug blackout snapshot: display ";
    EXPECT_TRUE(lines[0].starts_with(expected)) << lines[0];
    EXPECT_TRUE(lines[0].find(" 1920x1080 meanLuma=0.0 saved " + prefix + "-") != std::string::npos) << lines[0];

    // The host's capture of the same moment leaves the covers out and shows the desktop.
    const auto composed = (*compositor)->compose({0, 0, 1920, 1080});
    ASSERT_TRUE(composed);
    const std::span<const std::uint8_t> pixels(composed->pixels,
                                               static_cast<std::size_t>(composed->stride) * composed->height);
    const double desktopLuma =
        BlackoutDebugSnapshot::meanLuma({pixels, composed->width, composed->height, composed->stride, 0});
    EXPECT_GT(desktopLuma, 60.0);
    overlay->request(false);
    main.runUntilIdle();
}

}  // namespace
}  // namespace orvanta::host
