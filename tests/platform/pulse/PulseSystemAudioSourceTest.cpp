#include "platform/pulse/PulseSystemAudioSource.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <ctime>
#include <fstream>
#include <mutex>

#include "support/PulseFixture.h"
#include "support/TempDir.h"
#include "support/ToneSignal.h"

namespace orvanta::platform::pulse {
namespace {

using namespace std::chrono_literals;

// Guards a broken test only; a passing test wakes as soon as its condition holds.
constexpr auto kRealLimit = 10s;
constexpr PcmFormat kStereo48k{48000, 2};

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// What the source hands over on its own thread.
class Recorder {
public:
    // The recorder outlives the source it listens to.
    void attach(SystemAudioSource& source) {
        source.onBuffer = [this](const PcmBuffer& buffer) {
            std::lock_guard lock(mutex_);
            if (buffer.format != kStereo48k) ++wrongFormats_;
            if (!firstTime_) firstTime_ = buffer.seconds;
            lastTime_ = buffer.seconds;
            framesBeforeLast_ = frames_;
            frames_ += buffer.frames();
            if (buffer.seconds > monotonicSeconds() || buffer.seconds < monotonicSeconds() - 0.5) ++badTimes_;
            for (std::size_t i = 0; i < buffer.samples.size(); i += 2) {
                left_.push_back(buffer.samples[i]);
                if (std::abs(buffer.samples[i]) > 0.05f) ++loud_;
            }
            changed_.notify_all();
        };
        source.onError = [this](std::string text) {
            std::lock_guard lock(mutex_);
            errors_.push_back(std::move(text));
            changed_.notify_all();
        };
    }

    bool waitForLoudFrames(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kRealLimit, [&] { return loud_ >= count; });
    }
    bool waitForError() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kRealLimit, [&] { return !errors_.empty(); });
    }

    // Frequency and level of the tone, from a stretch well after it began.
    std::pair<double, double> tone() {
        std::lock_guard lock(mutex_);
        std::size_t start = 0;
        while (start < left_.size() && std::abs(left_[start]) <= 0.05f) ++start;
        start += 4800;
        const std::size_t count = std::min<std::size_t>(9600, left_.size() - std::min(start, left_.size()));
        if (count < 4800) return {0, 0};
        return {testing::toneHertz(left_, start, count), testing::toneLevel(left_, start, count)};
    }

    int anomalies() {
        std::lock_guard lock(mutex_);
        return wrongFormats_ + badTimes_;
    }
    // How far the buffer times drifted from the recorded frame count, first buffer to last.
    double timeDrift() {
        std::lock_guard lock(mutex_);
        return *lastTime_ - *firstTime_ - static_cast<double>(framesBeforeLast_) / 48000;
    }
    std::vector<std::string> errors() {
        std::lock_guard lock(mutex_);
        return errors_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<float> left_;
    std::size_t loud_ = 0;
    std::optional<double> firstTime_;
    std::optional<double> lastTime_;
    std::size_t frames_ = 0;
    std::size_t framesBeforeLast_ = 0;
    int wrongFormats_ = 0;
    int badTimes_ = 0;
    std::vector<std::string> errors_;
};

TEST(PulseSystemAudioSourceTest, RecordsWhatTheDefaultOutputPlaysWithCurrentTimes) {
    ORVANTA_REQUIRE_PULSE();
    Recorder recorder;
    PulseSystemAudioSource source(pulse.server());
    recorder.attach(source);
    ASSERT_TRUE(source.start(kStereo48k)) << "start";
    testing::TempDir dir("pulse-tone");
    auto player = testing::PulseTonePlayer::start(pulse.server(), pulse.sinkName(), dir / "tone.raw", 440, 0.4f, 3);
    ASSERT_TRUE(player) << player.error();

    ASSERT_TRUE(recorder.waitForLoudFrames(24000));
    const auto [hertz, level] = recorder.tone();
    EXPECT_NEAR(hertz, 440, 3);
    EXPECT_NEAR(level, 0.4 / std::sqrt(2.0), 0.03);
    EXPECT_EQ(recorder.anomalies(), 0);
    EXPECT_NEAR(recorder.timeDrift(), 0, 0.05);
    source.stop();
    EXPECT_TRUE(recorder.errors().empty());
}

TEST(PulseSystemAudioSourceTest, FollowsTheDefaultOutputWhenItChanges) {
    ORVANTA_REQUIRE_PULSE();
    Recorder recorder;
    PulseSystemAudioSource source(pulse.server());
    recorder.attach(source);
    ASSERT_TRUE(source.start(kStereo48k));
    ASSERT_TRUE(testing::PulseTonePlayer::run({"pactl", "--server=" + pulse.server(), "load-module", "module-null-sink",
                                               "sink_name=orvanta_second", "rate=48000", "norewinds=1"}));
    ASSERT_TRUE(
        testing::PulseTonePlayer::run({"pactl", "--server=" + pulse.server(), "set-default-sink", "orvanta_second"}));

    testing::TempDir dir("pulse-second");
    auto player = testing::PulseTonePlayer::start(pulse.server(), "orvanta_second", dir / "tone.raw", 880, 0.4f, 3);
    ASSERT_TRUE(player);
    ASSERT_TRUE(recorder.waitForLoudFrames(24000));
    EXPECT_NEAR(recorder.tone().first, 880, 5);
    EXPECT_TRUE(recorder.errors().empty());
}

TEST(PulseSystemAudioSourceTest, ReportsAMissingServerAndAServerThatDies) {
    PulseSystemAudioSource absent("unix:/nonexistent/orvanta-pulse");
    const auto refused = absent.start(kStereo48k);
    ASSERT_FALSE(refused);
    EXPECT_TRUE(refused.error().starts_with("cannot connect to the audio server")) << refused.error();

    auto server = testing::PulseServer::start();
    if (!server) return testing::skipOrFailWithoutService("PulseAudio: " + server.error());
    Recorder recorder;
    PulseSystemAudioSource source((*server)->server());
    recorder.attach(source);
    ASSERT_TRUE(source.start(kStereo48k));
    (*server)->kill();
    ASSERT_TRUE(recorder.waitForError());
    EXPECT_EQ(recorder.errors().size(), 1u);
    EXPECT_TRUE(recorder.errors()[0].starts_with("audio server connection lost")) << recorder.errors()[0];
    source.stop();
}

TEST(PulseSystemAudioSourceTest, FollowsTheNewDefaultWhenTheRecordedOutputIsRemovedAndFailsWithoutOne) {
    auto server = testing::PulseServer::start();
    if (!server) return testing::skipOrFailWithoutService("PulseAudio: " + server.error());
    testing::TempDir dir("pulse-removed");
    const std::string address = "--server=" + (*server)->server();
    const auto moduleFile = dir / "module";
    ASSERT_TRUE(testing::PulseTonePlayer::run({"pactl", address, "load-module", "module-null-sink",
                                               "sink_name=orvanta_removed", "rate=48000", "norewinds=1"},
                                              moduleFile.string()));
    std::string module;
    std::ifstream(moduleFile) >> module;
    ASSERT_TRUE(testing::PulseTonePlayer::run({"pactl", address, "set-default-sink", "orvanta_removed"}));
    Recorder recorder;
    PulseSystemAudioSource source((*server)->server());
    recorder.attach(source);
    ASSERT_TRUE(source.start(kStereo48k));

    ASSERT_TRUE(testing::PulseTonePlayer::run({"pactl", address, "unload-module", module}));
    auto player = testing::PulseTonePlayer::start((*server)->server(), (*server)->sinkName(), dir / "tone.raw", 660,
                                                  0.4f, 3);
    ASSERT_TRUE(player);
    ASSERT_TRUE(recorder.waitForLoudFrames(24000));
    EXPECT_NEAR(recorder.tone().first, 660, 4);
    EXPECT_TRUE(recorder.errors().empty());

    player->reset();
    ASSERT_TRUE(testing::PulseTonePlayer::run({"pactl", address, "unload-module", "module-null-sink"}));
    ASSERT_TRUE(recorder.waitForError());
    EXPECT_EQ(recorder.errors(), std::vector<std::string>{"the audio output orvanta_test went away"});
}

TEST(PulseSystemAudioSourceTest, RefusesAFormatItCannotRecord) {
    PulseSystemAudioSource source("unix:/nonexistent/orvanta-pulse");
    const auto refused = source.start(PcmFormat{48000, 0});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "unsupported capture format 48000Hz 0ch");
}

}  // namespace
}  // namespace orvanta::platform::pulse
