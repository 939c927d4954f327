// The two-stream capture self test against a scripted source, including streams that fail part-way,
// and once against the real capture of a private X server.
#include <gtest/gtest.h>

#include <thread>

#include "host/media/DualCaptureTest.h"
#include "platform/x11/X11ScreenSource.h"
#include "support/FakeScreenSource.h"
#include "support/ManualExecutor.h"
#include "support/X11TestDesktop.h"

namespace orvanta::host {
namespace {

using namespace std::chrono_literals;

platform::ShareableContent twoDisplaysMainSecond() {
    platform::ShareableContent content;
    content.displays = {{.id = 7, .frame = {1920, 0, 1280, 1024}}, {.id = 3, .frame = {0, 0, 1920, 1080}}};
    content.mainDisplay = 3;
    return content;
}

class DualCaptureSelf : public ::testing::Test {
protected:
    void SetUp() override { source->contents = {twoDisplaysMainSecond()}; }
    void startTest() {
        test = DualCaptureTest::create(source, work, [this](std::string_view line) { lines.emplace_back(line); });
        test->run();
        work.runUntilIdle();
    }
    testing::FakeScreenStream& stream(std::size_t index) { return source->stream(index); }

    testing::ManualExecutor work;
    std::shared_ptr<testing::FakeScreenSource> source = std::make_shared<testing::FakeScreenSource>();
    std::shared_ptr<DualCaptureTest> test;
    std::vector<std::string> lines;
    platform::ScreenImage image{};
};

TEST_F(DualCaptureSelf, CountsEachStreamOfTheMainDisplayForFiveSeconds) {
    startTest();
    ASSERT_EQ(source->streamCount(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(stream(i).settings.target, platform::CaptureTarget(platform::DisplayTarget{3}));
        EXPECT_TRUE(stream(i).settings.showsCursor);
        EXPECT_TRUE(stream(i).settings.excludedWindows.empty());
    }
    EXPECT_EQ(lines, std::vector<std::string>{"dual test: both streams started"});
    for (int i = 0; i < 3; ++i) stream(0).emit(image);
    stream(1).emit(image);
    work.advance(4'999ms);
    EXPECT_FALSE(stream(0).stopped);
    work.advance(1ms);
    EXPECT_TRUE(stream(0).stopped);
    EXPECT_TRUE(stream(1).stopped);
    EXPECT_EQ(lines.back(), "dual test result: streamA complete=3 streamB complete=1");
    // A picture still on its way after the stop is not counted.
    stream(1).emit(image);
    EXPECT_EQ(test->counts(), (std::array<std::int64_t, 2>{3, 1}));
}

TEST_F(DualCaptureSelf, WithoutDisplaysItSaysSoAndOpensNothing) {
    source->contents = {platform::ShareableContent{}};
    startTest();
    EXPECT_EQ(lines, std::vector<std::string>{"dual test: no display"});
    EXPECT_TRUE(source->streamCount() == 0);
}

TEST_F(DualCaptureSelf, AContentFailureIsItsErrorLine) {
    source->contents = {std::unexpected(std::string("no X server"))};
    startTest();
    EXPECT_EQ(lines, std::vector<std::string>{"dual test error: no X server"});
}

// The first stream used to run on for the life of the process after the second failed.
TEST_F(DualCaptureSelf, AFailureOfTheSecondStreamStopsTheFirst) {
    struct Case {
        const char* name;
        std::function<void(testing::FakeScreenSource&)> breakSecond;
    };
    const Case cases[] = {
        // Each opening runs the hook after the stream took its errors, so these reach the second.
        {"start", [](testing::FakeScreenSource& s) { s.onOpen = [&s] { s.startError = "stream start refused"; }; }},
        {"open", [](testing::FakeScreenSource& s) { s.onOpen = [&s] { s.openError = "stream start refused"; }; }},
    };
    for (const auto& c : cases) {
        source = std::make_shared<testing::FakeScreenSource>();
        source->contents = {twoDisplaysMainSecond()};
        lines.clear();
        c.breakSecond(*source);
        startTest();
        EXPECT_EQ(lines, std::vector<std::string>{"dual test error: stream start refused"}) << c.name;
        ASSERT_GE(source->streamCount(), 1u);
        EXPECT_TRUE(stream(0).stopped) << c.name;
        stream(0).emit(image);
        EXPECT_EQ(test->counts(), (std::array<std::int64_t, 2>{0, 0}));
        work.advance(10s);
        EXPECT_EQ(lines.size(), 1u);
    }
}

TEST_F(DualCaptureSelf, ACancelledWaitStopsBothStreams) {
    startTest();
    stream(0).emit(image);
    work.advance(2s);
    test->cancel();
    work.runUntilIdle();
    EXPECT_TRUE(stream(0).stopped);
    EXPECT_TRUE(stream(1).stopped);
    EXPECT_EQ(lines.back(), "dual test error: cancelled");
    work.advance(10s);
    EXPECT_EQ(lines.size(), 2u);
}

TEST_F(DualCaptureSelf, GoingAwayStopsWhatStillRuns) {
    startTest();
    test = nullptr;
    EXPECT_TRUE(stream(0).stopped);
    EXPECT_TRUE(stream(1).stopped);
    work.advance(10s);
    EXPECT_EQ(lines.size(), 1u);
}

TEST(DualCaptureOnX11Test, BothStreamsOfTheRealCaptureDeliverAndStop) {
    ORVANTA_REQUIRE_X11_DESKTOP();
    testing::ManualExecutor work;
    std::vector<std::string> lines;
    auto source = std::make_shared<platform::x11::X11ScreenSource>(desktop.server->display());
    auto test = DualCaptureTest::create(source, work, [&](std::string_view line) { lines.emplace_back(line); });
    test->run();
    work.runUntilIdle();
    ASSERT_EQ(lines, std::vector<std::string>{"dual test: both streams started"});
    std::uint32_t colour = 0x102030;
    // The screen changes until both streams have delivered a few pictures; the bound only guards a
    // broken capture.
    const auto delivered = [&] {
        const auto counts = test->counts();
        return counts[0] >= 3 && counts[1] >= 3;
    };
    for (int round = 0; round < 1000 && !delivered(); ++round) {
        desktop.setBackground(colour += 0x010101);
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(delivered());
    work.advance(DualCaptureTest::kRunTime);
    ASSERT_EQ(lines.size(), 2u);
    const auto stopped = test->counts();
    EXPECT_EQ(lines[1], "dual test result: streamA complete=" + std::to_string(stopped[0]) +
                            " streamB complete=" + std::to_string(stopped[1]));
    for (int i = 0; i < 5; ++i) desktop.setBackground(colour += 0x010101);
    EXPECT_EQ(test->counts(), stopped);
}

}  // namespace
}  // namespace orvanta::host
