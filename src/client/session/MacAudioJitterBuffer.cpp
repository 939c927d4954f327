#include "client/session/MacAudioJitterBuffer.h"

#include <algorithm>

namespace orvanta::client {

namespace {
constexpr int kKeepLevelMillis = 300;
constexpr int kToleratedLevelMillis = 600;
constexpr int kStartLevelMillis = 240;  // also the level kept after dropping
constexpr int kCrossfadeMillis = 3;
constexpr int kConcealmentLimitMillis = 300;
constexpr std::uint64_t kDeepToleranceMicros = 1'000'000;
}  // namespace

MacAudioJitterBuffer::MacAudioJitterBuffer(int rate) : rate_(rate) {}

std::size_t MacAudioJitterBuffer::append(Chunk chunk, std::size_t inFlight, std::uint64_t nowMicros) {
    pendingFrames_ += chunk.pcm.frameLength();
    pending_.push_back(std::move(chunk));
    std::size_t total = inFlight + pendingFrames_;
    if (total <= frames(kKeepLevelMillis)) {
        deepSince_.reset();
        return 0;
    }
    if (!deepSince_) deepSince_ = nowMicros;
    if (total <= frames(kToleratedLevelMillis) && nowMicros - *deepSince_ < kDeepToleranceMicros) return 0;

    std::size_t dropped = 0;
    while (pending_.size() >= 2 && total > frames(kStartLevelMillis)) {
        const std::size_t oldest = pending_.front().pcm.frameLength();
        pending_.pop_front();
        pendingFrames_ -= oldest;
        total -= oldest;
        dropped += oldest;
    }
    pending_.front().splice = true;
    deepSince_.reset();
    return dropped;
}

std::optional<MacAudioJitterBuffer::Chunk> MacAudioJitterBuffer::next(std::size_t inFlight) {
    if (!playing_) {
        if (pendingFrames_ < frames(kStartLevelMillis)) return std::nullopt;
        playing_ = true;
    }
    if (!pending_.empty()) {
        Chunk chunk = std::move(pending_.front());
        pending_.pop_front();
        pendingFrames_ -= chunk.pcm.frameLength();
        if ((chunk.splice || concealedFrames_ > 0) && lastOutput_) crossfade(chunk.pcm);
        lastReal_ = chunk.pcm;
        lastOutput_ = chunk.pcm;
        concealedFrames_ = 0;
        return chunk;
    }
    if (lastReal_ && concealedFrames_ < frames(kConcealmentLimitMillis)) {
        const std::size_t enough = std::max(lastReal_->frameLength(), static_cast<std::size_t>(rate_ / 25));
        if (enough < inFlight) return std::nullopt;
        if (auto concealed = conceal()) return concealed;
    }
    if (inFlight == 0) {
        playing_ = false;
        lastReal_.reset();
        lastOutput_.reset();
        concealedFrames_ = 0;
        deepSince_.reset();
    }
    return std::nullopt;
}

// Ramps the start of `pcm` from the last sample played, so a splice never clicks.
void MacAudioJitterBuffer::crossfade(PcmBuffer& pcm) const {
    const std::size_t length = pcm.frameLength();
    if (length == 0) return;
    const std::size_t n = std::max<std::size_t>(1, std::min(length, frames(kCrossfadeMillis)));
    for (std::size_t c = 0; c < pcm.channels.size() && c < lastOutput_->channels.size(); ++c) {
        const auto& previous = lastOutput_->channels[c];
        if (previous.empty()) continue;
        const float last = previous.back();
        auto& samples = pcm.channels[c];
        for (std::size_t j = 0; j < n; ++j)
            samples[j] = last + (samples[j] - last) * static_cast<float>(j) / static_cast<float>(n);
    }
}

// Plays the last real chunk backwards, forwards, backwards ... from its end, fading linearly to
// silence at the concealment limit.
std::optional<MacAudioJitterBuffer::Chunk> MacAudioJitterBuffer::conceal() {
    const std::size_t limit = frames(kConcealmentLimitMillis);
    const std::size_t source = lastReal_->frameLength();
    const std::size_t count = std::min(limit - concealedFrames_, source);
    if (count == 0 || limit < 2) return std::nullopt;
    PcmBuffer out = PcmBuffer::silence(lastReal_->channels.size(), count);
    for (std::size_t c = 0; c < out.channels.size(); ++c) {
        const auto& from = lastReal_->channels[c];
        for (std::size_t j = 0; j < count; ++j) {
            const std::size_t u = concealedFrames_ + j;
            const std::size_t w = u % (2 * source);
            const std::size_t at = w < source ? source - 1 - w : w - source;
            out.channels[c][j] = from[at] * static_cast<float>(limit - 1 - u) / static_cast<float>(limit - 1);
        }
    }
    concealedFrames_ += count;
    lastOutput_ = out;
    return Chunk{std::move(out), std::nullopt, false};
}

}  // namespace orvanta::client
