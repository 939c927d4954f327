// The sender's one view: the pipeline's side and the control channel's side reach the same sender,
// and its stall checks step the bit rate of whichever encoder seam runs.
#include "host/controller/HostMediaAdapters.h"

#include <gtest/gtest.h>

#include "support/FakeHostMedia.h"
#include "support/FakeVideoConnection.h"
#include "support/ManualExecutor.h"

namespace orvanta::testing {
namespace {

class VideoSenderViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        sender.setGeneration(7);
        sender.attach(connection, true);
    }

    // A frame that waits past the stall floor for its acknowledgement.
    void stallOnce() {
        view.sendFrame(base::Bytes{0, 0, 0, 1, 0x65}, true, clock.uptimeMicros());
        clock.advance(std::chrono::milliseconds(300));
        view.checkStall(clock.uptimeMicros(), &encoder);
        view.ackReceived(7, sender.seq());
    }

    ManualClock clock{5'000'000};
    host::VideoSender sender{clock};
    host::VideoSenderView view{sender};
    std::shared_ptr<FakeVideoConnection> connection = std::make_shared<FakeVideoConnection>();
    FakeHostEncoder encoder{std::make_shared<std::vector<std::string>>(), 64, 48};
};

TEST_F(VideoSenderViewTest, StallsStepTheBitRateOfAnyEncoderSeam) {
    stallOnce();
    stallOnce();
    EXPECT_TRUE(encoder.bitRates.empty());
    stallOnce();
    EXPECT_EQ(encoder.bitRates, std::vector<std::int64_t>{30'000'000});
}

TEST_F(VideoSenderViewTest, AcknowledgementsAndRoundTripsReachTheSenderThatSent) {
    EXPECT_TRUE(view.sendFrame(base::Bytes{0, 0, 0, 1, 0x65}, true, clock.uptimeMicros()));
    EXPECT_TRUE(view.ackReceived(7, sender.seq()));
    EXPECT_FALSE(view.ackReceived(7, sender.seq()));
    view.setBaseRTTMicros(3'000);
    EXPECT_EQ(sender.baseRTTMicros, 3'000u);
}

}  // namespace
}  // namespace orvanta::testing
