#include "platform/pulse/PulseAudioOutput.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "support/PulseFixture.h"

namespace orvanta::platform::pulse {
namespace {

AudioOutput::Planes silence(std::size_t frames) { return {std::vector<float>(frames), std::vector<float>(frames)}; }

TEST(PulseAudioOutputTest, ReportsBuffersPlayedInOrder) {
    ORVANTA_REQUIRE_PULSE();
    PulseAudioOutput output(pulse.server());
    ASSERT_TRUE(output.start({48'000, 2}));
    EXPECT_TRUE(output.isRunning());

    std::mutex mutex;
    std::condition_variable done;
    std::vector<int> played;
    for (int i = 0; i < 5; ++i) {
        output.schedule(silence(2400), [&, i] {
            std::lock_guard lock(mutex);
            played.push_back(i);
            done.notify_all();
        });
    }
    EXPECT_FALSE(output.isPlaying());
    output.play();
    EXPECT_TRUE(output.isPlaying());
    std::unique_lock lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(5), [&] { return played.size() == 5; }));
    EXPECT_EQ(played, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(PulseAudioOutputTest, DiscardedBuffersAreNotReported) {
    ORVANTA_REQUIRE_PULSE();
    PulseAudioOutput output(pulse.server());
    ASSERT_TRUE(output.start({48'000, 2}));
    bool reported = false;
    output.schedule(silence(48'000), [&] { reported = true; });
    output.stopPlayer();
    output.stop();
    EXPECT_FALSE(reported);
}

TEST(PulseAudioOutputTest, SaysWhyAServerCannotBeReached) {
    PulseAudioOutput output("unix:/nonexistent/orvanta/native");
    const auto started = output.start({48'000, 2});
    ASSERT_FALSE(started);
    EXPECT_TRUE(started.error().starts_with("PulseAudio: ")) << started.error();
    EXPECT_FALSE(output.isRunning());
}

TEST(PulseAudioOutputTest, StopsRunningWhenTheServerDies) {
    auto server = testing::PulseServer::start();
    if (!server) return testing::skipOrFailWithoutService("PulseAudio: " + server.error());
    PulseAudioOutput output((*server)->server());
    ASSERT_TRUE(output.start({48'000, 2}));
    (*server)->kill();
    // The loop notices the closed socket by itself; isRunning reads its state under the lock.
    for (int i = 0; i < 500 && output.isRunning(); ++i) output.schedule(silence(480), [] {});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (output.isRunning() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_FALSE(output.isRunning());
}

}  // namespace
}  // namespace orvanta::platform::pulse
