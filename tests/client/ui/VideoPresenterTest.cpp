#include "client/ui/VideoPresenter.h"

#include <gtest/gtest.h>

#include "TestPictures.h"
#include "support/HostVideoStream.h"
#include "support/ManualExecutor.h"

namespace orvanta::client {
namespace {

using namespace std::chrono_literals;

const testing::HostVideoStream& stream() {
    static const auto encoded = [] {
        std::vector<std::vector<std::uint32_t>> pictures;
        for (std::size_t i = 0; i < VideoPresenter::kMaxHeldPictures + 4; ++i)
            pictures.push_back(testing::testPicture(160, 96, static_cast<int>(i)));
        return testing::encodeAsHost(pictures, 160, 96);
    }();
    return encoded;
}

struct PresenterTest : ::testing::Test {
    testing::ManualExecutor main;
    VideoPresenter presenter{main, main.clock()};
    int due = 0;
    std::vector<DecodeError> failures;

    PresenterTest() {
        presenter.onPictureDue = [this] { ++due; };
        presenter.onFailure = [this](const DecodeError& error) { failures.push_back(error); };
    }
    bool show(std::size_t index, base::Micros delay = {}) {
        return presenter.display(stream().samples.at(index), delay);
    }
};

TEST_F(PresenterTest, HoldsEachPictureForExactlyTheVideoDelay) {
    ASSERT_TRUE(show(0, 100ms));
    main.advance(40ms);
    ASSERT_TRUE(show(1, 100ms));
    main.advance(59ms);
    EXPECT_EQ(presenter.waitingPictures(), 0u) << "nothing before its delay has passed";
    main.advance(1ms);
    ASSERT_EQ(presenter.waitingPictures(), 1u);
    EXPECT_EQ(presenter.takePicture()->receivedMicros, main.nowMicros() - 100'000);
    main.advance(40ms);
    EXPECT_EQ(presenter.takePicture()->receivedMicros, main.nowMicros() - 100'000);
    EXPECT_EQ(due, 2);

    // With no delay a picture waits for painting at once, without a timer.
    ASSERT_TRUE(show(2));
    EXPECT_EQ(presenter.waitingPictures(), 1u);
    EXPECT_EQ(due, 3);
}

TEST_F(PresenterTest, OfPicturesWaitingForPaintOnlyTheNewestTwoStay) {
    for (std::size_t i = 0; i < 5; ++i) ASSERT_TRUE(show(i));
    EXPECT_EQ(presenter.waitingPictures(), 2u);
    EXPECT_EQ(presenter.droppedPictures(), 3u);
    const auto first = presenter.takePicture();
    ASSERT_TRUE(first);
    EXPECT_TRUE(presenter.takePicture());
    EXPECT_FALSE(presenter.takePicture());

    // Held pictures are bounded too, whatever the delay.
    presenter.flush();
    for (std::size_t i = 0; i < stream().samples.size(); ++i) ASSERT_TRUE(show(i, 10s));
    EXPECT_EQ(presenter.heldPictures(), VideoPresenter::kMaxHeldPictures);
    EXPECT_EQ(presenter.droppedPictures(), 3u + stream().samples.size() - VideoPresenter::kMaxHeldPictures);
}

TEST_F(PresenterTest, FlushEmptiesTheDelayAndTheDecoderWaitsForAKeyframe) {
    ASSERT_TRUE(show(0, 100ms));
    ASSERT_TRUE(show(1));
    presenter.flush();
    main.advance(200ms);
    EXPECT_EQ(presenter.waitingPictures(), 0u);
    EXPECT_EQ(due, 0);

    EXPECT_FALSE(show(2));
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].kind, DecodeError::Kind::awaitingKeyframe);
    EXPECT_TRUE(show(0));
    EXPECT_TRUE(show(1));
    EXPECT_EQ(presenter.waitingPictures(), 2u);
}

TEST_F(PresenterTest, ACorruptSampleFlushesAndReportsOnce) {
    ASSERT_TRUE(show(0));
    ASSERT_TRUE(show(1, 50ms));
    auto corrupt = std::make_shared<VideoSample>(*stream().samples[2]);
    corrupt->avcc = testing::damagedSlices(corrupt->avcc);
    EXPECT_FALSE(presenter.display(corrupt, {}));
    EXPECT_EQ(failures.size(), 1u);
    EXPECT_EQ(presenter.waitingPictures(), 0u);
    EXPECT_EQ(presenter.heldPictures(), 0u);
}

}  // namespace
}  // namespace orvanta::client
