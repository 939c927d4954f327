#include "host/media/WindowsCursorStream.h"

#include <gtest/gtest.h>

#include <cmath>

#include "base/Base64.h"
#include "host/media/CursorTestSupport.h"
#include "protocol/ControlMessages.h"
#include "support/FakeCursorSampler.h"
#include "support/ManualExecutor.h"

namespace orvanta::host {
namespace {

using Update = WindowsCursorStream::Update;

// A 2x2 image: opaque red, half-transparent green (premultiplied), transparent, opaque white.
platform::CursorImage smallImage(int hotX = 1, int hotY = 0) {
    return {2, 2, hotX, hotY, {0xFFFF0000u, 0x80008000u, 0x00000000u, 0xFFFFFFFFu}};
}

WindowsCursorShape shapeOf(const platform::CursorImage& image) { return *WindowsCursorShape::fromImage(image); }

TEST(WindowsCursorShapeTest, EncodesStraightAlphaPngWithSizeAndHotSpot) {
    const auto shape = WindowsCursorShape::fromImage(smallImage());
    ASSERT_TRUE(shape);
    EXPECT_EQ((std::array{shape->width, shape->height, shape->hotX, shape->hotY}), (std::array{2.0, 2.0, 1.0, 0.0}));
    const auto decoded = testing::decodePng(shape->png);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width, 2);
    EXPECT_EQ(decoded->rgba,
              (std::vector<std::uint8_t>{255, 0, 0, 255, 0, 255, 0, 128, 0, 0, 0, 0, 255, 255, 255, 255}));
}

TEST(WindowsCursorShapeTest, RefusesEmptyOversizedAndMalformedImages) {
    const int big = WindowsCursorShape::kMaxSidePixels + 1;
    for (const platform::CursorImage& image :
         {platform::CursorImage{0, 0, 0, 0, {}}, platform::CursorImage{big, 1, 0, 0, std::vector<std::uint32_t>(big)},
          platform::CursorImage{2, 2, 0, 0, {0, 0, 0}}, platform::CursorImage{-1, -1, 0, 0, {0}}}) {
        EXPECT_FALSE(WindowsCursorShape::fromImage(image)) << image.width << "x" << image.height;
    }
}

// One call of the change detector and what it must answer.
struct Step {
    double x, y;
    bool visible;
    int shape;  // 0: none sampled, 1 or 2: one of two images
    std::optional<Update> expected;
};

struct DetectorCase {
    const char* name;
    std::vector<Step> steps;
};

void PrintTo(const DetectorCase& c, std::ostream* out) { *out << c.name; }

std::optional<WindowsCursorShape> shapeNumber(int n) {
    if (n == 0) return std::nullopt;
    return shapeOf(smallImage(n, n));
}

Update update(double x, double y, bool visible, int shape = 0) {
    return {.gen = 9, .x = x, .y = y, .visible = visible, .shape = shapeNumber(shape)};
}

class WindowsCursorDetector : public ::testing::TestWithParam<DetectorCase> {};

TEST_P(WindowsCursorDetector, SendsOnlyWhatChanged) {
    testing::ManualExecutor queue;
    auto stream = WindowsCursorStream::create(9, queue, queue, std::make_shared<testing::FakeCursorSampler>());
    int index = 0;
    for (const Step& step : GetParam().steps) {
        EXPECT_EQ(stream->nextUpdate(step.x, step.y, step.visible, shapeNumber(step.shape)), step.expected)
            << "step " << index++;
    }
}

const double kNaN = std::nan("");

INSTANTIATE_TEST_SUITE_P(
    Cases, WindowsCursorDetector,
    ::testing::Values(
        DetectorCase{"FirstVisibleWithoutShapeThenShapeOnce",
                     {{0.5, 0.5, true, 0, update(0.5, 0.5, true)},
                      {0.5, 0.5, true, 1, update(0.5, 0.5, true, 1)},
                      {0.5, 0.5, true, 1, std::nullopt}}},
        DetectorCase{"StillPointerSendsNothing",
                     {{0.2, 0.3, true, 1, update(0.2, 0.3, true, 1)}, {0.2, 0.3, true, 1, std::nullopt}}},
        DetectorCase{"MovingPointerSendsEachPosition",
                     {{0.2, 0.3, true, 1, update(0.2, 0.3, true, 1)}, {0.21, 0.3, true, 1, update(0.21, 0.3, true)}}},
        DetectorCase{"ClampsOutsideTheArea",
                     {{-0.5, 1.5, true, 0, update(0, 1, true)},
                      {kNaN, 0.5, true, 0, update(0, 0.5, true)},
                      {-3, 0.5, true, 0, std::nullopt}}},
        DetectorCase{"ImageChangeAloneSendsShape",
                     {{0.5, 0.5, true, 1, update(0.5, 0.5, true, 1)}, {0.5, 0.5, true, 2, update(0.5, 0.5, true, 2)}}},
        DetectorCase{"InvisibleOnceThenSilentThenBack",
                     {{0.5, 0.5, true, 1, update(0.5, 0.5, true, 1)},
                      {0.5, 0.5, false, 1, update(0.5, 0.5, false)},
                      {0.7, 0.1, false, 2, std::nullopt},
                      {0.5, 0.5, true, 2, update(0.5, 0.5, true, 2)}}},
        DetectorCase{"FirstInvisibleIsSent", {{0.1, 0.1, false, 1, update(0.1, 0.1, false)}}}),
    [](const auto& param) { return std::string(param.param.name); });

class WindowsCursorStreamTest : public ::testing::Test {
protected:
    void send(double x, double y, bool visible, std::uint64_t now) {
        stream_->send({x, y, visible}, now, [this](const std::string& text) { sent_.push_back(text); });
    }

    std::optional<protocol::CursorPosition> lastMessage() const {
        if (sent_.empty()) return std::nullopt;
        auto message = protocol::ControlMessage::decode(sent_.back());
        if (!message || !message->as<protocol::CursorPosition>()) return std::nullopt;
        return *message->as<protocol::CursorPosition>();
    }

    testing::ManualExecutor host_;
    testing::ManualExecutor main_;
    std::shared_ptr<testing::FakeCursorSampler> sampler_ = std::make_shared<testing::FakeCursorSampler>();
    std::shared_ptr<WindowsCursorStream> stream_ = WindowsCursorStream::create(4, host_, main_, sampler_);
    std::vector<std::string> sent_;
};

TEST_F(WindowsCursorStreamTest, SendsPositionFirstAndTheSampledShapeOnce) {
    sampler_->set(smallImage());
    send(0.25, 0.75, true, 1'000'000);
    ASSERT_EQ(sent_.size(), 1u);
    auto first = lastMessage();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->gen, 4);
    EXPECT_EQ(first->visible, true);
    EXPECT_EQ(first->x, 0.25);
    EXPECT_FALSE(first->shape);

    main_.runUntilIdle();
    host_.runUntilIdle();
    send(0.25, 0.75, true, 1'033'000);
    ASSERT_EQ(sent_.size(), 2u);
    auto second = lastMessage();
    ASSERT_TRUE(second && second->shape);
    EXPECT_EQ(base::base64Decode(second->shape->png), shapeOf(smallImage()).png);
    EXPECT_EQ(second->shape->hotX, 1);
    send(0.25, 0.75, true, 1'066'000);
    EXPECT_EQ(sent_.size(), 2u);
}

TEST_F(WindowsCursorStreamTest, SamplesAtMostEvery100msOnlyWhileVisibleAndOneAtATime) {
    sampler_->set(smallImage());
    send(0.5, 0.5, false, 1'000'000);  // invisible: no sample
    main_.runUntilIdle();
    EXPECT_EQ(sampler_->samples, 0);

    send(0.5, 0.5, true, 1'000'000);
    send(0.5, 0.5, true, 1'200'000);  // the first is still under way
    main_.runUntilIdle();
    EXPECT_EQ(sampler_->samples, 1);
    host_.runUntilIdle();

    send(0.5, 0.5, true, 1'099'999);  // within 100 ms of the first
    main_.runUntilIdle();
    EXPECT_EQ(sampler_->samples, 1);
    send(0.5, 0.5, true, 1'100'000);
    main_.runUntilIdle();
    EXPECT_EQ(sampler_->samples, 2);
}

TEST_F(WindowsCursorStreamTest, NoImageClearsTheShapeAndAReplacedStreamDropsItsSample) {
    sampler_->set(std::nullopt);
    send(0.5, 0.5, true, 1'000'000);
    main_.runUntilIdle();
    host_.runUntilIdle();
    send(0.6, 0.5, true, 1'100'000);
    ASSERT_TRUE(lastMessage());
    EXPECT_FALSE(lastMessage()->shape);

    sampler_->set(smallImage());
    main_.runUntilIdle();  // the second sample runs
    stream_.reset();
    EXPECT_EQ(host_.runUntilIdle(), 1u);  // finds the stream gone
}

}  // namespace
}  // namespace orvanta::host
