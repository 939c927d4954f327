#include "host/media/CaptureSizing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/media/WindowCaptureGeometry.h"

namespace orvanta::host {
namespace {

using platform::ScreenRect;

TEST(CaptureSizingTest, EvenDimensionTruncatesRoundsDownAndKeepsTwo) {
    const std::vector<std::pair<double, std::int64_t>> cases = {
        {0, 2}, {-5, 2}, {1.9, 2}, {2, 2}, {3.99, 2}, {4, 4}, {1773.7, 1772}, {2732.4, 2732}, {5, 4}};
    for (auto [x, expected] : cases) EXPECT_EQ(evenDimension(x), expected) << x;
}

struct DisplayCase {
    const char* name;
    double w, h;
    SizingRequest request;
    CaptureSize expected;
};

TEST(CaptureSizingTest, DisplayOutputFitsViewportOrBoxAndNeverGrows) {
    const std::vector<DisplayCase> cases = {
        {"4K into the 2560x1080 box", 3840, 2160, {}, {1920, 1080}},
        {"small display is never enlarged", 1280, 720, {}, {1280, 720}},
        {"pixel factor 2 into a tablet viewport", 3024, 1964, {.viewport = CaptureSize{2732, 2048}}, {2732, 1774}},
        {"viewport with a zero side is ignored", 3840, 2160, {.viewport = CaptureSize{0, 900}}, {1920, 1080}},
        {"aspect output is taken exactly", 3840, 2160, {.aspectOutput = CaptureSize{2000, 1500}}, {2000, 1500}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sizeDisplayCapture(c.w, c.h, c.request, {}, {}).output, c.expected) << c.name;
    }
}

TEST(CaptureSizingTest, MacroblockLimitShrinksInSmallStepsAndLogs) {
    std::vector<std::string> lines;
    const auto sizing = sizeWindowCapture(800, 600, {.viewport = CaptureSize{5120, 2880}}, {},
                                          [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_EQ(sizing.output, (CaptureSize{3946, 2218}));
    EXPECT_EQ(macroblockCount(sizing.output), 34'333);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "capture: limiting 4096x2304 to 3946x2218 (encoder max 34560 macroblocks)");

    lines.clear();
    EXPECT_EQ(sizeDisplayCapture(3024, 1964, {.viewport = CaptureSize{2732, 2048}}, {},
                                 [&](std::string_view line) { lines.emplace_back(line); })
                  .output,
              (CaptureSize{2732, 1774}));
    EXPECT_TRUE(lines.empty()) << "18,981 macroblocks need no limit";
}

TEST(CaptureSizingTest, WindowOutputKeepsLongSideWithin4096AndBox) {
    EXPECT_EQ(sizeWindowCapture(1000, 500, {}, {}, {}).output, (CaptureSize{1000, 500}));
    EXPECT_EQ(sizeWindowCapture(3000, 1500, {}, {}, {}).output, (CaptureSize{2160, 1080}));
    EXPECT_EQ(sizeWindowCapture(8192, 1024, {}, {}, {}).output, (CaptureSize{2560, 320}));
    EXPECT_EQ(sizeWindowCapture(640, 480, {.viewport = CaptureSize{1180, 820}}, {}, {}).output,
              (CaptureSize{1180, 820}));
}

TEST(CaptureSizingTest, WindowsOutputLetterboxesThePhysicalSource) {
    std::vector<std::tuple<std::int64_t, std::int64_t, double, std::optional<CaptureSize>>> calls;
    const AspectOutputSizer sizer = [&](std::int64_t w, std::int64_t h, double scale, std::optional<CaptureSize> m) {
        calls.emplace_back(w, h, scale, m);
        return std::optional<CaptureSize>(CaptureSize{1920, 1440});
    };
    const auto display = sizeDisplayCapture(1920, 1080, {.minimum = CaptureSize{1024, 768}}, sizer, {});
    EXPECT_EQ(display.output, (CaptureSize{1920, 1440}));
    ASSERT_TRUE(display.displayContentRect);
    EXPECT_DOUBLE_EQ(display.displayContentRect->x, 0);
    EXPECT_DOUBLE_EQ(display.displayContentRect->y, 0.125);
    EXPECT_DOUBLE_EQ(display.displayContentRect->width, 1);
    EXPECT_DOUBLE_EQ(display.displayContentRect->height, 0.75);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], std::make_tuple(std::int64_t{1920}, std::int64_t{1080}, 2.0,
                                        std::optional<CaptureSize>(CaptureSize{1024, 768})));

    const auto window = sizeWindowCapture(1600, 1200, {.minimum = CaptureSize{1024, 768}}, sizer, {});
    EXPECT_EQ(window, (CaptureSizing{{1920, 1440}, std::nullopt})) << "a window has no physical source";

    const AspectOutputSizer none = [](auto, auto, auto, auto) { return std::optional<CaptureSize>{}; };
    EXPECT_EQ(sizeDisplayCapture(5120, 2880, {.minimum = CaptureSize{1024, 768}}, none, {}),
              (CaptureSizing{{1920, 1080}, std::nullopt}))
        << "without an output size the fitted size stays, and no macroblock limit applies";
}

struct GeometryCase {
    const char* name;
    ScreenRect window;
    std::int64_t outW, outH;
    double scale;
    WindowCaptureGeometry expected;
};

TEST(WindowCaptureGeometryTest, PlacesTheWindowOnTheCanvas) {
    const ScreenRect w{100, 50, 800, 600};
    const std::vector<GeometryCase> cases = {
        {"scale 1, same aspect", w, 800, 600, 1, {w, w, w, {0, 0, 800, 600}}},
        {"scale 1, wider output letterboxes",
         w,
         1600,
         600,
         1,
         {w, {100, 200, 800, 300}, {100, 200, 800, 300}, {0, 0, 1600, 600}}},
        {"scale 2 shows the centre enlarged",
         w,
         800,
         600,
         2,
         {w, {300, 200, 400, 300}, {300, 200, 400, 300}, {0, 0, 800, 600}}},
        {"scale 0.5 shows the whole window smaller",
         w,
         800,
         600,
         0.5,
         {w, {-300, -250, 1600, 1200}, w, {200, 150, 400, 300}}},
        {"scale 3 acts as 2", w, 800, 600, 3, {w, {300, 200, 400, 300}, {300, 200, 400, 300}, {0, 0, 800, 600}}},
        {"scale 0 acts as 0.1", w, 800, 600, 0, WindowCaptureGeometry::make(w, 800, 600, 0.1)},
        {"scale 0.05 acts as 0.1", w, 800, 600, 0.05, WindowCaptureGeometry::make(w, 800, 600, 0.1)},
        {"infinite scale acts as 1", w, 800, 600, std::numeric_limits<double>::infinity(), {w, w, w, {0, 0, 800, 600}}},
        {"undefined scale acts as 1",
         w,
         800,
         600,
         std::numeric_limits<double>::quiet_NaN(),
         {w, w, w, {0, 0, 800, 600}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WindowCaptureGeometry::make(c.window, c.outW, c.outH, c.scale), c.expected) << c.name;
    }
    const auto tenth = WindowCaptureGeometry::make(w, 800, 600, 0.1);
    EXPECT_DOUBLE_EQ(tenth.destinationRect.width, 80);
    EXPECT_DOUBLE_EQ(tenth.destinationRect.x, 360);
}

}  // namespace
}  // namespace orvanta::host
