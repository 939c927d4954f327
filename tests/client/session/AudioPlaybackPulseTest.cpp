#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "base/DispatchQueue.h"
#include "client/session/AudioPlayback.h"
#include "platform/pulse/PulseAudioOutput.h"
#include "support/AacTone.h"
#include "support/ChildProcess.h"
#include "support/PulseFixture.h"

namespace orvanta::client {
namespace {

// Records the null sink's monitor with parec, counting frames as they arrive.
class MonitorRecorder {
public:
    explicit MonitorRecorder(const testing::PulseServer& pulse) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        testing::ChildSpec parec;
        parec.argv = {"parec",          "--server=" + pulse.server(), "--device=" + pulse.monitorName(),
                      "--format=float32le", "--rate=48000", "--channels=2", "--latency-msec=20", "/dev/fd/3"};
        parec.passFd = fds[1];
        const auto pid = testing::startChild(parec);
        ::close(fds[1]);
        if (!pid) {
            ::close(fds[0]);
            return;
        }
        pid_ = *pid;
        pipe_ = ::fdopen(fds[0], "r");
        reader_ = std::thread([this] { read(); });
    }
    ~MonitorRecorder() {
        if (!pipe_) return;
        testing::stopChild(pid_);  // the reader then sees the end of the pipe
        reader_.join();
        std::fclose(pipe_);
    }
    bool started() const { return pipe_ != nullptr; }

    // Waits until `frames` have been recorded, at most `limit`.
    bool waitForFrames(std::size_t frames, std::chrono::seconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return grew_.wait_for(lock, limit, [&] { return left_.size() >= frames; });
    }
    std::vector<float> left() {
        std::lock_guard lock(mutex_);
        return left_;
    }

private:
    void read() {
        float frame[2];
        while (std::fread(frame, sizeof frame, 1, pipe_) == 1) {
            std::lock_guard lock(mutex_);
            left_.push_back(frame[0]);
            grew_.notify_all();
        }
    }

    pid_t pid_ = -1;
    FILE* pipe_ = nullptr;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable grew_;
    std::vector<float> left_;
};

TEST(AudioPlaybackPulseTest, TheMonitorHearsTheTone) {
    ORVANTA_REQUIRE_PULSE();
    MonitorRecorder recorder(pulse);
    ASSERT_TRUE(recorder.started());
    ASSERT_TRUE(recorder.waitForFrames(4800));

    base::DispatchQueue queue("clientcore.audio"), main("main");
    const std::string server = pulse.server();
    auto playback = AudioPlayback::make(protocol::AudioFormat::aacLC48kStereo(), queue, main,
                                        base::SystemClock::shared(),
                                        [server] { return std::make_unique<platform::pulse::PulseAudioOutput>(server); });
    ASSERT_TRUE(playback);
    const auto tone = testing::aacTonePackets(120);
    // Paced by the recording itself: keep about 300 ms of packets ahead of what was heard.
    const std::size_t startFrames = recorder.left().size();
    for (std::uint32_t seq = 1; seq <= tone.size(); ++seq) {
        const std::size_t lead = 14;
        if (seq > lead) {
            ASSERT_TRUE(recorder.waitForFrames(startFrames + (seq - lead) * 1024));
        }
        playback->receive(protocol::VideoPacket::make(protocol::PacketType::audio, {}, 1, seq, seq * 21'333, tone[seq - 1])
                              ->encoded());
    }
    ASSERT_TRUE(recorder.waitForFrames(startFrames + 130 * 1024));
    playback->stop();
    queue.sync([] {});

    auto heard = recorder.left();
    std::vector<float> loud;
    for (std::size_t i = startFrames; i < heard.size(); ++i)
        if (std::abs(heard[i]) > 0.05f || !loud.empty()) loud.push_back(heard[i]);
    ASSERT_GT(loud.size(), 48'000u);
    loud.resize(48'000);
    const auto measured = testing::measureTone(loud);
    EXPECT_NEAR(measured.hertz, 1000.0, 30.0);
    EXPECT_NEAR(measured.peak, 0.5f, 0.15f);
}

}  // namespace
}  // namespace orvanta::client
