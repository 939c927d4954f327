// A known tone for audio tests: a phase-continuous sine source, the measurements that say a tone
// survived, and a player that plays it into a PulseAudio output with pacat.
#pragma once

#include <sys/wait.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace orvanta::testing {

// Interleaved stereo float samples of one sine, phase-continuous across calls.
class SineSource {
public:
    SineSource(double hertz, float level, int rate = 48000) : hertz_(hertz), level_(level), rate_(rate) {}

    std::vector<float> next(std::size_t frames) {
        std::vector<float> samples(frames * 2);
        for (std::size_t i = 0; i < frames; ++i) {
            const auto value = static_cast<float>(
                level_ * std::sin(2 * std::numbers::pi * hertz_ * static_cast<double>(n_++) / rate_));
            samples[2 * i] = samples[2 * i + 1] = value;
        }
        return samples;
    }

private:
    double hertz_;
    float level_;
    int rate_;
    std::int64_t n_ = 0;
};

// Root mean square of `samples`.
inline double rms(const std::vector<float>& samples, std::size_t from, std::size_t count) {
    double sum = 0;
    for (std::size_t i = from; i < from + count; ++i) sum += double(samples[i]) * samples[i];
    return std::sqrt(sum / static_cast<double>(count));
}

// Frequency from the rising zero crossings of a clean tone.
inline double toneHertz(const std::vector<float>& samples, std::size_t from, std::size_t count, int rate = 48000) {
    std::size_t first = 0, last = 0, crossings = 0;
    for (std::size_t i = from + 1; i < from + count; ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            if (crossings++ == 0) first = i;
            last = i;
        }
    }
    if (crossings < 2) return 0;
    return static_cast<double>(crossings - 1) * rate / static_cast<double>(last - first);
}

// Plays `seconds` of a stereo tone into `sink` of `server` (48 kHz float), stopped when destroyed.
class PulseTonePlayer {
public:
    static std::expected<std::unique_ptr<PulseTonePlayer>, std::string> start(const std::string& server,
                                                                              const std::string& sink,
                                                                              const std::filesystem::path& file,
                                                                              double hertz, float level,
                                                                              double seconds) {
        SineSource tone(hertz, level);
        const auto samples = tone.next(static_cast<std::size_t>(seconds * 48000));
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 4));
        auto pid =
            startChild({.argv = {"pacat", "--playback", "--raw", "--format=float32le", "--rate=48000", "--channels=2",
                                 "--latency-msec=20", "--server=" + server, "--device=" + sink, file.string()},
                        .extraEnvironment = {},
                        .logPath = {}});
        if (!pid) return std::unexpected(pid.error());
        return std::unique_ptr<PulseTonePlayer>(new PulseTonePlayer(*pid));
    }
    ~PulseTonePlayer() { stopChild(pid_); }

    // Runs a short client command (pactl) to its end; whether it succeeded.
    static bool run(std::vector<std::string> argv) {
        auto pid = startChild({.argv = std::move(argv), .extraEnvironment = {}, .logPath = {}});
        int status = 0;
        if (!pid) return false;
        while (::waitpid(*pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    PulseTonePlayer(const PulseTonePlayer&) = delete;
    PulseTonePlayer& operator=(const PulseTonePlayer&) = delete;

private:
    explicit PulseTonePlayer(pid_t pid) : pid_(pid) {}
    pid_t pid_;
};

}  // namespace orvanta::testing
