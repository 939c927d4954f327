#include <gtest/gtest.h>

#include "client/session/AudioPlayback.h"
#include "client/session/AudioSync.h"
#include "support/AacTone.h"
#include "support/FakeAudioOutput.h"
#include "support/ManualExecutor.h"

namespace orvanta::client {
namespace {

class ConnectionAudioTest : public ::testing::Test {
protected:
    void SetUp() override {
        audio = std::make_shared<ConnectionAudio>(main, main.clock(), [this](const protocol::AudioFormat& f) {
            ++playbacks;
            return AudioPlayback::make(f, queue, main, main.clock(), testing::FakeAudioOutput::factory(output));
        });
        audio->setPlaybackSupported(true);
        audio->setVideoDelaySettingMillis(100);
    }
    ConnectionAudio::Send sender() {
        return [this](protocol::ControlMessage message) {
            const auto* request = std::get_if<protocol::AudioRequest>(&message.payload);
            ASSERT_NE(request, nullptr);
            requests.push_back(request->enabled);
        };
    }

    testing::ManualExecutor main, queue;
    std::shared_ptr<testing::FakeAudioOutputState> output = std::make_shared<testing::FakeAudioOutputState>();
    std::shared_ptr<ConnectionAudio> audio;
    std::vector<bool> requests;
    int playbacks = 0;
};

TEST_F(ConnectionAudioTest, MuteAndUnmuteEachSendOneRequest) {
    audio->setMuted(true);  // before any welcome: nothing to send
    audio->setMuted(false);
    EXPECT_TRUE(requests.empty());

    audio->startIfOffered(protocol::AudioFormat::aacLC48kStereo(), sender());
    EXPECT_EQ(requests, std::vector<bool>{true});
    EXPECT_TRUE(audio->hostAudioAvailable());
    EXPECT_EQ(audio->effectiveVideoDelayMillis(), 100);

    audio->setMuted(true);
    audio->setMuted(true);
    EXPECT_EQ(requests, (std::vector<bool>{true, false}));
    EXPECT_FALSE(audio->hostAudioAvailable());
    EXPECT_EQ(audio->effectiveVideoDelayMillis(), 0);

    audio->setMuted(false);
    EXPECT_EQ(requests, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(playbacks, 2);
}

// A client without a sound output neither asks for the host's audio nor fails when some comes.
TEST(ConnectionAudioWithoutOutputTest, PlaysNothingAndTakesStrayAudioQuietly) {
    testing::ManualExecutor main, queue;
    auto audio = std::make_shared<ConnectionAudio>(main, main.clock(), [&](const protocol::AudioFormat& f) {
        return AudioPlayback::make(f, queue, main, main.clock(), platform::AudioOutputFactory{});
    });
    audio->setPlaybackSupported(true);
    std::vector<protocol::ControlMessage> sent;
    audio->startIfOffered(protocol::AudioFormat::aacLC48kStereo(),
                          [&](protocol::ControlMessage message) { sent.push_back(std::move(message)); });
    EXPECT_TRUE(sent.empty());
    EXPECT_FALSE(audio->hostAudioAvailable());
    for (std::uint32_t seq = 1; seq <= 3; ++seq) {
        audio->receive(protocol::VideoPacket::make(protocol::PacketType::audio, {}, 1, seq, seq * 21'333,
                                                   testing::aacTonePackets(3).at(seq - 1))
                           ->encoded());
    }
    queue.runUntilIdle();
    main.runUntilIdle();
}

TEST_F(ConnectionAudioTest, NoRequestWithoutAPlayableOfferOrWhileMuted) {
    audio->startIfOffered(std::nullopt, sender());
    audio->startIfOffered(protocol::AudioFormat::make("aac-lc", 44'100, 6, 2048), sender());
    audio->setMuted(true);
    audio->startIfOffered(protocol::AudioFormat::aacLC48kStereo(), sender());
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(playbacks, 0);
    audio->setMuted(false);  // the offer is kept: unmuting asks now
    EXPECT_EQ(requests, std::vector<bool>{true});
}

TEST_F(ConnectionAudioTest, PublishesTheLagAtMostOnceASecondAndClearsItAtTheEnd) {
    audio->startIfOffered(protocol::AudioFormat::aacLC48kStereo(), sender());
    const auto tone = testing::aacTonePackets(30);
    auto play = [&](std::uint32_t first, std::uint32_t count) {
        for (std::uint32_t seq = first; seq < first + count; ++seq) {
            audio->receive(protocol::VideoPacket::make(protocol::PacketType::audio, {}, 1, seq, seq * 21'333,
                                                       tone[seq % tone.size()])->encoded());
            queue.runUntilIdle();
            output->playOne();
            queue.runUntilIdle();
        }
        main.runUntilIdle();
    };
    audio->noteVideoDelivered(0);
    play(1, 20);
    ASSERT_TRUE(audio->avSync().audioOffset);
    ASSERT_TRUE(audio->audioLagMillis());
    const auto first = *audio->audioLagMillis();

    // A very different video offset within the second changes nothing published.
    audio->noteVideoDelivered(10'000'000);
    play(21, 10);
    EXPECT_EQ(audio->audioLagMillis(), first);

    audio->end();
    EXPECT_FALSE(audio->hostAudioAvailable());
    EXPECT_EQ(audio->audioLagMillis(), std::nullopt);
    EXPECT_EQ(audio->avSync(), AVSyncEstimator{});
}

}  // namespace
}  // namespace orvanta::client
