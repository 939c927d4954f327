// A known tone for audio tests: a phase-continuous sine source, the measurements that say a tone
// survived, and a player that plays it into a PulseAudio output with pacat.
#pragma once

#include <sys/wait.h>

#include <algorithm>
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

// Rising zero crossings of the samples in [from, from + count).
inline std::vector<std::size_t> risingCrossings(const std::vector<float>& samples, std::size_t from,
                                                std::size_t count) {
    std::vector<std::size_t> at;
    for (std::size_t i = from + 1; i < std::min(from + count, samples.size()); ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) at.push_back(i);
    }
    return at;
}

inline double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::nth_element(values.begin(), values.begin() + std::ssize(values) / 2, values.end());
    return values[values.size() / 2];
}

// Frequency and RMS level of a tone, each taken over its typical periods, so that a short glitch of a
// loaded machine (an underrun of the player) does not move them.
inline double toneHertz(const std::vector<float>& samples, std::size_t from, std::size_t count, int rate = 48000) {
    const auto at = risingCrossings(samples, from, count);
    std::vector<double> periods;
    for (std::size_t i = 1; i < at.size(); ++i) periods.push_back(static_cast<double>(at[i] - at[i - 1]));
    // The mean of the periods near the median: whole-sample periods alone would be too coarse.
    const double typical = median(periods);
    double sum = 0;
    int counted = 0;
    for (double period : periods) {
        if (std::abs(period - typical) <= 2) sum += period, ++counted;
    }
    return counted > 0 ? rate * counted / sum : 0;
}

inline double toneLevel(const std::vector<float>& samples, std::size_t from, std::size_t count) {
    const auto at = risingCrossings(samples, from, count);
    std::vector<double> levels;
    for (std::size_t i = 1; i < at.size(); ++i) {
        double sum = 0;
        for (std::size_t j = at[i - 1]; j < at[i]; ++j) sum += double(samples[j]) * samples[j];
        levels.push_back(std::sqrt(sum / static_cast<double>(at[i] - at[i - 1])));
    }
    return median(levels);
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
                                 "--latency-msec=100", "--server=" + server, "--device=" + sink, file.string()},
                        .extraEnvironment = {},
                        .logPath = {}});
        if (!pid) return std::unexpected(pid.error());
        return std::unique_ptr<PulseTonePlayer>(new PulseTonePlayer(*pid));
    }
    ~PulseTonePlayer() { stopChild(pid_); }

    // Runs a short client command (pactl) to its end; whether it succeeded. Its output goes to
    // `output` when given.
    static bool run(std::vector<std::string> argv, const std::string& output = {}) {
        auto pid = startChild({.argv = std::move(argv), .extraEnvironment = {}, .logPath = output});
        int status = 0;
        if (!pid) return false;
        while (::waitpid(*pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    explicit PulseTonePlayer(pid_t pid) : pid_(pid) {}
    pid_t pid_;
};

}  // namespace orvanta::testing
