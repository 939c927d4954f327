#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <future>
#include <mutex>

#include "base/DispatchQueue.h"
#include "host/media/AudioCapture.h"
#include "host/media/AudioTestSupport.h"
#include "platform/pulse/PulseSystemAudioSource.h"
#include "support/PulseFixture.h"
#include "support/TempDir.h"

namespace orvanta::host {
namespace {

using namespace std::chrono_literals;

// Guards a broken test only; a passing test wakes as soon as its condition holds.
constexpr auto kRealLimit = 10s;

// The capture's packets and errors, handed over from "zq2.audio".
class Collector {
public:
    void attach(AudioCapture& capture) {
        capture.onPacket = [this](base::Bytes packet, std::uint64_t, bool) {
            std::lock_guard lock(mutex_);
            decoded_ += decoder_.decode(packet) ? 0 : 1;
            changed_.notify_all();
        };
        capture.onError = [this](std::string text) {
            std::lock_guard lock(mutex_);
            errors_.push_back(std::move(text));
            changed_.notify_all();
        };
    }

    template <class Done>
    bool waitFor(Done done) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kRealLimit, [&] { return done(decoder_.samples, errors_); });
    }

    int refusedPackets() {
        std::lock_guard lock(mutex_);
        return decoded_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    testing::AacDecoder decoder_;
    int decoded_ = 0;
    std::vector<std::string> errors_;
};

std::size_t loudFrom(const std::vector<float>& samples) {
    std::size_t start = 0;
    while (start < samples.size() && std::abs(samples[start]) <= 0.05f) ++start;
    return start;
}

TEST(AudioCapturePulseTest, PlayedToneComesOutAsAacAndALostServerIsReported) {
    auto server = testing::PulseServer::start();
    if (!server) return testing::skipOrFailWithoutService("PulseAudio: " + server.error());
    base::DispatchQueue queue("zq2.audio");
    Collector collector;
    auto capture = AudioCapture::create(std::make_unique<platform::pulse::PulseSystemAudioSource>((*server)->server()),
                                        queue, [](std::string_view) {});
    collector.attach(*capture);
    std::promise<bool> started;
    capture->start([&](bool ok) { started.set_value(ok); });
    ASSERT_TRUE(started.get_future().get());

    testing::TempDir dir("capture-tone");
    auto player =
        testing::PulseTonePlayer::start((*server)->server(), (*server)->sinkName(), dir / "tone.raw", 440, 0.4f, 3);
    ASSERT_TRUE(player);
    constexpr std::size_t kAnalysed = 9600;
    ASSERT_TRUE(collector.waitFor([&](const std::vector<float>& samples, const auto&) {
        return samples.size() > loudFrom(samples) + 4800 + kAnalysed;
    }));
    ASSERT_TRUE(collector.waitFor([&](const std::vector<float>& samples, const auto&) {
        const std::size_t from = loudFrom(samples) + 4800;
        EXPECT_NEAR(testing::toneHertz(samples, from, kAnalysed), 440, 3);
        EXPECT_NEAR(testing::toneLevel(samples, from, kAnalysed), 0.4 / std::sqrt(2.0), 0.04);
        return true;
    }));
    EXPECT_EQ(collector.refusedPackets(), 0);

    (*server)->kill();
    ASSERT_TRUE(collector.waitFor([](const auto&, const std::vector<std::string>& errors) { return !errors.empty(); }));
    capture->stop();
    queue.sync([] {});
}

}  // namespace
}  // namespace orvanta::host
