#include "host/media/VirtualDisplay.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "support/FakeVirtualDisplayFactory.h"
#include "support/ManualExecutor.h"

namespace orvanta::host {

void PrintTo(const PixelSize& size, std::ostream* os) { *os << size.text(); }

namespace {

using namespace std::chrono_literals;

struct AspectCase {
    std::int64_t width, height;
    double scale;
    std::optional<PixelSize> minimum;
    PixelSize pixels, descriptor, output;
};

TEST(VirtualDisplaySizeTest, AspectDisplaySizeMatchesTheWorkedExamples) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<AspectCase> cases = {
        {1920, 1080, 2, {}, {1920, 1080}, {3840, 2160}, {1920, 1080}},
        {1920, 1080, 1, {}, {2254, 1268}, {3840, 2160}, {1920, 1080}},
        {1920, 1080, 0.5, {}, {2646, 1490}, {3840, 2160}, {1920, 1080}},
        {1920, 1080, 0.1, {}, {3840, 2160}, {3840, 2160}, {1920, 1080}},
        {1920, 1080, 0.01, {}, {3840, 2160}, {3840, 2160}, {1920, 1080}},
        {1920, 1080, 7, {}, {1920, 1080}, {3840, 2160}, {1920, 1080}},
        {1920, 1080, nan, {}, {2254, 1268}, {3840, 2160}, {1920, 1080}},
        {1170, 2532, 1, {}, {1308, 2830}, {1894, 4096}, {1170, 2532}},
        {2732, 2048, 1, {}, {2878, 2158}, {3424, 2568}, {2732, 2048}},
        {1000, 1000, 1, PixelSize{3000, 1000}, {3176, 1060}, {3840, 1280}, {3000, 1000}},
        {1280, 800, 1, PixelSize{1920, 1200}, {2244, 1404}, {3760, 2350}, {1920, 1200}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " @" + std::to_string(c.scale));
        const auto size = VirtualDisplay::aspectDisplaySize(c.width, c.height, c.scale, c.minimum);
        ASSERT_TRUE(size);
        EXPECT_EQ(size->pixels, c.pixels);
        EXPECT_EQ(size->descriptorPixels, c.descriptor);
        EXPECT_EQ(size->outputPixels, c.output);
        EXPECT_TRUE(size->hiDPI);
    }
}

TEST(VirtualDisplaySizeTest, PixelSizeMatchesTheWorkedExamples) {
    struct Case {
        std::int64_t width, height;
        PixelSize main, expected;
    };
    const std::vector<Case> cases = {
        {1000, 800, {2880, 1800}, {2880, 2304}},
        {4000, 3000, {1920, 1080}, {3200, 2400}},  // larger than main: k stays 1 but the limits shrink it
        {1000, 500, {800, 400}, {1000, 500}},      // larger than main within the limits: k = 1
        {1, 1, {1920, 1080}, {1920, 1920}},        // the larger factor fills the main display
        {3, 3, {0, 0}, {2, 2}},                    // rounded down to even, at least 2
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VirtualDisplay::pixelSize(c.width, c.height, c.main), c.expected) << c.width << "x" << c.height;
    }
}

TEST(VirtualDisplaySizeTest, EmptyViewportsGiveNothing) {
    for (const auto& [w, h] :
         std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 1080}, {1920, 0}, {-5, 100}, {100, -1}}) {
        EXPECT_FALSE(VirtualDisplay::aspectDisplaySize(w, h, 1, std::nullopt)) << w << "x" << h;
        EXPECT_FALSE(VirtualDisplay::pixelSize(w, h, {1920, 1080})) << w << "x" << h;
    }
}

// Device-supplied sizes are untrusted: whatever comes in, every size stays even and within the
// display and encoder limits.
TEST(VirtualDisplaySizeTest, UntrustedViewportsStayWithinTheLimits) {
    const std::int64_t huge = std::int64_t{1} << 50;
    const std::vector<std::int64_t> sides = {1, 2, 3, 7, 480, 1079, 1920, 2049, 4097, 100'000, huge};
    const std::vector<std::optional<PixelSize>> minimums = {std::nullopt,          PixelSize{0, 0},
                                                            PixelSize{-4, -9},     PixelSize{1921, 1081},
                                                            PixelSize{huge, huge}, PixelSize{3, 5000}};
    const auto within = [](const PixelSize& p) {
        return p.width >= 2 && p.height >= 2 && p.width <= 3840 && p.height <= 4096 && p.width % 2 == 0 &&
               p.height % 2 == 0 && ((p.width + 15) / 16) * ((p.height + 15) / 16) <= 34'560;
    };
    for (auto w : sides) {
        for (auto h : sides) {
            for (const auto& minimum : minimums) {
                for (double scale : {-1.0, 0.3, 2.0, std::numeric_limits<double>::infinity()}) {
                    const auto size = VirtualDisplay::aspectDisplaySize(w, h, scale, minimum);
                    ASSERT_TRUE(size);
                    ASSERT_TRUE(within(size->pixels) && within(size->descriptorPixels) && within(*size->outputPixels))
                        << w << "x" << h << " -> " << size->pixels.text() << " " << size->descriptorPixels.text();
                    ASSERT_LE(size->outputPixels->width, size->pixels.width);
                    ASSERT_LE(size->pixels.width, size->descriptorPixels.width);
                }
            }
            const auto pixels = VirtualDisplay::pixelSize(w, h, {huge, huge});
            ASSERT_TRUE(pixels);
            ASSERT_TRUE(pixels->width >= 2 && pixels->width <= 3840 && pixels->height >= 2 && pixels->height <= 2400);
        }
    }
}

class VirtualDisplayServiceTest : public ::testing::Test {
protected:
    VirtualDisplayService& service() {
        if (!service_) {
            service_.emplace(
                factory_, queue_, [this](std::string_view line) { lines_.emplace_back(line); },
                [this](std::chrono::milliseconds d) { slept_ += d; });
        }
        return *service_;
    }
    static DisplaySize size(bool strict) {
        return DisplaySize{
            {1920, 1080}, true, {3840, 2160}, strict ? std::optional(PixelSize{1920, 1080}) : std::nullopt};
    }

    testing::FakeVirtualDisplayFactory factory_;
    testing::ManualExecutor queue_;
    std::vector<std::string> lines_;
    std::chrono::milliseconds slept_{0};
    std::optional<VirtualDisplayService> service_;
};

TEST_F(VirtualDisplayServiceTest, CreatesSelectsThePixelModeAndPlacesRightOfMain) {
    const auto display = service().create(size(true));
    ASSERT_TRUE(display);
    EXPECT_EQ(display->displayID, 7u);
    EXPECT_EQ(display->origin, (DisplayOrigin{1920, 0}));
    EXPECT_EQ(display->size, size(true));
    const auto& made = factory_.displays.at(7);
    EXPECT_EQ(made.request, (platform::VirtualDisplayRequest{"ORVANTA-5A51", {3840, 2160}, {{1920, 1080}}, 60}));
    EXPECT_EQ(made.current, (platform::DisplayMode{1920, 1080}));
    EXPECT_EQ(lines_, std::vector<std::string>{"virtual display: created id=7 requested 1920x1080px HiDPI mode "
                                               "1920x1080px (960x540pt) origin 1920,0"});
    EXPECT_EQ(slept_, 0ms);

    service().release(display);
    EXPECT_TRUE(factory_.released.empty());  // asynchronous, on the display queue
    queue_.runUntilIdle();
    EXPECT_EQ(factory_.released, std::vector<std::uint32_t>{7});
    EXPECT_EQ(lines_.back(), "virtual display: released id=7");
}

TEST_F(VirtualDisplayServiceTest, ACurrentModeThatMatchesNeedsNoSwitch) {
    factory_.startsInMode = true;
    ASSERT_TRUE(service().create(size(true)));
    EXPECT_EQ(factory_.modeListCalls, 0);
    EXPECT_EQ(factory_.setModeCalls, 0);
}

TEST_F(VirtualDisplayServiceTest, StrictSelectionRetriesEveryHundredMilliseconds) {
    factory_.modeListsEmpty = 3;
    factory_.setModeIgnored = 2;
    ASSERT_TRUE(service().create(size(true)));
    EXPECT_EQ(factory_.setModeCalls, 3);
    EXPECT_EQ(slept_, 500ms);
}

TEST_F(VirtualDisplayServiceTest, StrictSelectionGivesUpAfterTenAttemptsAndRemovesTheDisplay) {
    factory_.listedModes = {{1280, 720}};
    EXPECT_FALSE(service().create(size(true)));
    EXPECT_EQ(factory_.modeListCalls, 10);
    EXPECT_EQ(slept_, 900ms);
    EXPECT_EQ(factory_.released, std::vector<std::uint32_t>{7});
    EXPECT_EQ(lines_,
              (std::vector<std::string>{
                  "virtual display: mode 1920x1080px (960x540pt) not active",
                  "virtual display: requested Retina mode 960x540pt / 1920x1080px unavailable, actual 0x0pt / 0x0px"}));
}

TEST_F(VirtualDisplayServiceTest, LenientSelectionStopsAtTheFirstMissAndKeepsTheDisplay) {
    struct Case {
        std::vector<platform::DisplayMode> listed;
        int ignored;
        int setResult;
        std::vector<std::string> firstLines;
    };
    const std::vector<Case> cases = {
        {{{1280, 720}}, 0, 0, {"virtual display: mode 1920x1080px (960x540pt) not active"}},
        {{}, 1, 0, {"virtual display: mode 1920x1080px (960x540pt) not active"}},
        {{}, 0, 3, {"virtual display: set mode failed 3", "virtual display: mode 1920x1080px (960x540pt) not active"}},
    };
    for (const auto& c : cases) {
        factory_ = {};
        lines_.clear();
        slept_ = 0ms;
        factory_.listedModes = c.listed;
        factory_.setModeIgnored = c.ignored;
        factory_.setModeResult = c.setResult;
        EXPECT_TRUE(service().create(size(false)));
        EXPECT_EQ(slept_, 0ms);
        ASSERT_EQ(lines_.size(), c.firstLines.size() + 1);
        EXPECT_TRUE(std::equal(c.firstLines.begin(), c.firstLines.end(), lines_.begin()));
        EXPECT_TRUE(lines_.back().starts_with("virtual display: created id=7 requested 1920x1080px HiDPI mode "));
    }
}

TEST_F(VirtualDisplayServiceTest, FailuresAreOneLineAndNoDisplay) {
    struct Case {
        std::string name;
        std::function<void(testing::FakeVirtualDisplayFactory&)> setUp;
        DisplaySize size;
        std::string line;
    };
    const DisplaySize ok = size(false);
    DisplaySize huge = ok;
    huge.pixels = {100'000, 1080};
    DisplaySize empty = ok;
    empty.descriptorPixels = {0, 0};
    const std::vector<Case> cases = {
        {"unavailable", [](auto& f) { f.available = false; }, ok, "virtual display: API unavailable (no spare output)"},
        {"refused", [](auto& f) { f.createError = "no output"; }, ok, "virtual display: creation failed (no output)"},
        {"too large", [](auto&) {}, huge, "virtual display: mode creation failed"},
        {"empty descriptor", [](auto&) {}, empty, "virtual display: mode creation failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        factory_ = {};
        c.setUp(factory_);
        service_.reset();
        lines_.clear();
        service();
        const auto made = lines_;
        lines_.clear();
        EXPECT_FALSE(service().create(c.size));
        EXPECT_EQ(lines_, std::vector<std::string>{c.line});
        // The reason a display cannot be made is told once at start, before anyone asks for one.
        EXPECT_EQ(made, factory_.available ? std::vector<std::string>{} : std::vector<std::string>{c.line});
        EXPECT_TRUE(factory_.displays.empty());
    }
}

TEST_F(VirtualDisplayServiceTest, PlacementFailuresAreLoggedButKeepTheDisplay) {
    factory_.placeResult = 5;
    ASSERT_TRUE(service().create(size(false)));
    EXPECT_EQ(lines_.front(), "virtual display: placement failed 5");
    factory_ = {};
    factory_.main.reset();
    lines_.clear();
    ASSERT_TRUE(service().create(size(false)));
    EXPECT_EQ(lines_.front(), "virtual display: begin configuration failed");
}

}  // namespace
}  // namespace orvanta::host
