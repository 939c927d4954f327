#include "host/media/AudioCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "base/DispatchQueue.h"

#include "host/media/AudioTestSupport.h"
#include "support/FakeSystemAudioSource.h"
#include "support/ManualExecutor.h"

namespace orvanta::host {
namespace {

struct Packet {
    std::uint64_t pts;
    bool discontinuity;
};

class AudioCaptureTest : public ::testing::Test {
protected:
    AudioCaptureTest() {
        auto source = std::make_unique<testing::FakeSystemAudioSource>(state_);
        source_ = source.get();
        capture_ =
            AudioCapture::create(std::move(source), queue_, [this](std::string_view l) { log_.emplace_back(l); });
        capture_->onPacket = [this](base::Bytes, std::uint64_t pts, bool discontinuity) {
            packets_.push_back({pts, discontinuity});
        };
        capture_->onError = [this](std::string text) { errors_.push_back(std::move(text)); };
    }

    void start() {
        capture_->start([this](bool ok) { completions_.push_back(ok); });
    }

    // `buffers` of 10 ms of a tone, as the source's thread hands them over.
    void play(int buffers) {
        for (int i = 0; i < buffers; ++i, seconds_ += 0.01) source_->play(tone_.next(480), seconds_);
    }

    testing::ManualExecutor queue_;
    std::shared_ptr<testing::FakeSystemAudioSource::State> state_ =
        std::make_shared<testing::FakeSystemAudioSource::State>();
    testing::FakeSystemAudioSource* source_ = nullptr;
    std::shared_ptr<AudioCapture> capture_;
    testing::SineSource tone_{440, 0.3f};
    double seconds_ = 50.0;
    std::vector<std::string> log_;
    std::vector<Packet> packets_;
    std::vector<std::string> errors_;
    std::vector<bool> completions_;
};

TEST_F(AudioCaptureTest, StartsAtTheOfferedFormatAndDeliversPackets) {
    start();
    queue_.runUntilIdle();
    EXPECT_EQ(completions_, std::vector<bool>{true});
    EXPECT_EQ(state_->wanted, (platform::PcmFormat{48000, 2}));
    EXPECT_EQ(log_, std::vector<std::string>{"audio capture started (aac-lc 48000Hz 2ch)"});

    play(20);
    queue_.runUntilIdle();
    ASSERT_GE(packets_.size(), 5u);
    EXPECT_TRUE(packets_[0].discontinuity);
    EXPECT_FALSE(packets_[1].discontinuity);
    EXPECT_NEAR(double(packets_[1].pts - packets_[0].pts), 21'333, 1);

    capture_->stop();
    queue_.runUntilIdle();
    EXPECT_EQ(state_->stops, 1);
    EXPECT_EQ(log_.back(), "audio capture stopped");
}

TEST_F(AudioCaptureTest, NoPacketAfterStopReturns) {
    start();
    queue_.runUntilIdle();
    play(20);  // queued, not yet encoded
    capture_->stop();
    queue_.runUntilIdle();
    EXPECT_TRUE(packets_.empty());
}

// On a real queue, stop() from another thread waits for a running onPacket, and none follows it.
TEST(AudioCaptureQueueTest, NoPacketStartsOnceStopHasReturned) {
    base::DispatchQueue queue("zq2.audio");
    auto state = std::make_shared<testing::FakeSystemAudioSource::State>();
    auto source = std::make_unique<testing::FakeSystemAudioSource>(state);
    auto* fake = source.get();
    auto capture = AudioCapture::create(std::move(source), queue, [](std::string_view) {});
    std::atomic<bool> stopReturned = false;
    std::atomic<int> packets = 0, late = 0;
    std::promise<void> first;
    capture->onPacket = [&](base::Bytes, std::uint64_t, bool) {
        if (packets++ == 0) first.set_value();
        if (stopReturned) ++late;
    };
    std::promise<bool> started;
    capture->start([&](bool ok) { started.set_value(ok); });
    ASSERT_TRUE(started.get_future().get());

    testing::SineSource tone(440, 0.3f);
    double seconds = 1;
    for (int i = 0; i < 500; ++i, seconds += 0.01) fake->play(tone.next(480), seconds);
    first.get_future().wait();
    capture->stop();
    stopReturned = true;
    queue.sync([] {});
    EXPECT_EQ(late, 0);
    EXPECT_LT(packets, 500 * 480 / 1024);
}

TEST_F(AudioCaptureTest, StartFailureReportsThroughOnError) {
    state_->startError = "Connection refused";
    start();
    queue_.runUntilIdle();
    EXPECT_EQ(errors_, std::vector<std::string>{"Connection refused"});
    EXPECT_EQ(completions_, std::vector<bool>{false});
}

TEST_F(AudioCaptureTest, StopDuringStartSupersedesItWithoutPackets) {
    start();
    capture_->stop();
    queue_.runUntilIdle();
    EXPECT_EQ(completions_, std::vector<bool>{false});
    EXPECT_EQ(log_, std::vector<std::string>{"audio capture start superseded by stop"});
    EXPECT_EQ(state_->stops, 1);
    play(20);
    queue_.runUntilIdle();
    EXPECT_TRUE(packets_.empty());
    EXPECT_TRUE(errors_.empty());
}

TEST_F(AudioCaptureTest, StreamFailureStopsTheSourceAndReportsOnce) {
    start();
    queue_.runUntilIdle();
    source_->fail("audio server connection lost");
    play(20);
    queue_.runUntilIdle();
    EXPECT_EQ(errors_, std::vector<std::string>{"audio server connection lost"});
    EXPECT_EQ(state_->stops, 1);
    EXPECT_TRUE(packets_.empty());
}

TEST_F(AudioCaptureTest, CallbacksAfterTheCaptureIsGoneFindNothing) {
    start();
    queue_.runUntilIdle();
    play(5);
    capture_.reset();
    EXPECT_EQ(state_->stops, 1);
    queue_.runUntilIdle();
    EXPECT_TRUE(packets_.empty());
}

}  // namespace
}  // namespace orvanta::host
