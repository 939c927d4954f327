#include "client/session/AudioPlayback.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace orvanta::client {

namespace {

constexpr double kMaxSpliceGapMicros = 300'000.0;
constexpr int kScheduledMillis = 120;
constexpr std::uint64_t kReportEvery = 5;

template <class... Args>
std::string format(const char* pattern, Args... args) {
    char line[128];
    std::snprintf(line, sizeof line, pattern, args...);
    return line;
}

}  // namespace

// MARK: AACDecoder

std::unique_ptr<AACDecoder> AACDecoder::make(const protocol::AudioFormat& format) {
    if (!format.isSupportedAACLC()) return nullptr;
    std::unique_ptr<AACDecoder> decoder(new AACDecoder(format));
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    if (!codec || !(decoder->context_ = avcodec_alloc_context3(codec))) return nullptr;
    AVCodecContext& c = *decoder->context_;
    c.sample_rate = static_cast<int>(format.sampleRate);
    av_channel_layout_default(&c.ch_layout, static_cast<int>(format.channels));
    c.extradata = static_cast<std::uint8_t*>(av_mallocz(format.asc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!c.extradata) return nullptr;
    std::memcpy(c.extradata, format.asc.data(), format.asc.size());
    c.extradata_size = static_cast<int>(format.asc.size());
    c.request_sample_fmt = AV_SAMPLE_FMT_FLTP;
    if (avcodec_open2(&c, codec, nullptr) < 0 || c.sample_fmt != AV_SAMPLE_FMT_FLTP) return nullptr;
    decoder->packet_ = av_packet_alloc();
    decoder->frame_ = av_frame_alloc();
    if (!decoder->packet_ || !decoder->frame_) return nullptr;
    return decoder;
}

AACDecoder::~AACDecoder() {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&context_);
}

std::optional<PcmBuffer> AACDecoder::decode(base::ByteView accessUnit) {
    if (accessUnit.empty() || accessUnit.size() > kMaxPacketBytes) return std::nullopt;
    if (av_new_packet(packet_, static_cast<int>(accessUnit.size())) < 0) return std::nullopt;
    std::memcpy(packet_->data, accessUnit.data(), accessUnit.size());
    const int sent = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    if (sent < 0) return std::nullopt;

    const auto channels = static_cast<std::size_t>(format_.channels);
    const auto capacity = static_cast<std::size_t>(2 * format_.samplesPerFrame);
    PcmBuffer pcm{std::vector<std::vector<float>>(channels)};
    while (avcodec_receive_frame(context_, frame_) == 0) {
        const auto frames = std::min(static_cast<std::size_t>(frame_->nb_samples), capacity - pcm.frameLength());
        const auto decodedChannels = static_cast<std::size_t>(frame_->ch_layout.nb_channels);
        if (decodedChannels == 0) {  // nothing to read planes from
            av_frame_unref(frame_);
            continue;
        }
        for (std::size_t ch = 0; ch < channels; ++ch) {
            // A stream that decodes to fewer channels than offered repeats its last one.
            const auto* plane =
                reinterpret_cast<const float*>(frame_->extended_data[std::min(ch, decodedChannels - 1)]);
            pcm.channels[ch].insert(pcm.channels[ch].end(), plane, plane + frames);
        }
        av_frame_unref(frame_);
    }
    if (pcm.frameLength() == 0) return std::nullopt;
    return pcm;
}

void AACDecoder::reset() { avcodec_flush_buffers(context_); }

// MARK: AudioPlayback

std::shared_ptr<AudioPlayback> AudioPlayback::make(const protocol::AudioFormat& format, base::Executor& queue,
                                                   base::Executor& main, const base::Clock& clock,
                                                   platform::AudioOutputFactory makeOutput) {
    if (!makeOutput) return nullptr;
    auto decoder = AACDecoder::make(format);
    if (!decoder) return nullptr;
    return std::make_shared<AudioPlayback>(Passkey{}, format, std::move(decoder), queue, main, clock,
                                           std::move(makeOutput));
}

AudioPlayback::AudioPlayback(Passkey, const protocol::AudioFormat& format, std::unique_ptr<AACDecoder> decoder,
                             base::Executor& queue, base::Executor& main, const base::Clock& clock,
                             platform::AudioOutputFactory makeOutput)
    : format_(format),
      decoder_(std::move(decoder)),
      queue_(queue),
      main_(main),
      clock_(clock),
      makeOutput_(std::move(makeOutput)),
      jitter_(static_cast<int>(format.sampleRate)) {}

AudioPlayback::~AudioPlayback() {
    if (output_) output_->stop();  // no device callback runs after this
}

void AudioPlayback::receive(base::Bytes message) {
    const std::uint64_t arrivedAt = clock_.uptimeMicros();
    queue_.async([weak = weak_from_this(), message = std::move(message), arrivedAt] {
        if (auto self = weak.lock()) self->process(message, arrivedAt);
    });
}

void AudioPlayback::setMuted(bool muted) {
    queue_.async([weak = weak_from_this(), muted] {
        auto self = weak.lock();
        if (!self || self->muted_ == muted) return;
        self->muted_ = muted;
        if (muted) {
            self->tearDownEngine();
        } else {
            self->decoder_->reset();
        }
    });
}

void AudioPlayback::stop() {
    queue_.async([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->stopped_ = true;
            self->tearDownEngine();
        }
    });
}

void AudioPlayback::setOnScheduled(Scheduled onScheduled) {
    std::lock_guard lock(onScheduledMutex_);
    onScheduled_ = std::move(onScheduled);
}

bool AudioPlayback::canSplice(const protocol::VideoPacketHeader& previous, const protocol::VideoPacketHeader& next,
                              const protocol::AudioFormat& format) {
    if (previous.gen != next.gen || next.ptsMicros < previous.ptsMicros || previous.seq == next.seq) return false;
    const double frame = format.sampleRate > 0 ? static_cast<double>(format.samplesPerFrame) * 1'000'000.0 /
                                                     static_cast<double>(format.sampleRate)
                                               : 0.0;
    const std::uint32_t missing = next.seq - previous.seq - 1;
    if (frame * missing > kMaxSpliceGapMicros) return false;
    return static_cast<double>(next.ptsMicros - previous.ptsMicros) <= frame + kMaxSpliceGapMicros + 1;
}

void AudioPlayback::process(const base::Bytes& message, std::uint64_t arrivedAt) {
    if (stopped_) return;
    const auto packet = protocol::VideoPacketView::parse(message);
    if (!packet || packet->header.type != protocol::PacketType::audio) return;
    const auto& header = packet->header;
    const auto decision = filter_.decide(header);
    if (decision == protocol::AudioDecision::drop || muted_ || !ensureEngine(arrivedAt)) return;

    if (decision != protocol::AudioDecision::play) {
        decoder_->reset();
        if (previousHeader_) {
            if (canSplice(*previousHeader_, header, format_)) {
                spliceNext_ = true;
            } else {
                write(format("resync stream gen=%hu seq=%u", header.gen, header.seq));
                ++epoch_;
                output_->stopPlayer();
                queuedFrames_ = 0;
                resetBuffer();
            }
        }
    }
    previousHeader_ = header;
    auto pcm = decoder_->decode(packet->payload);
    if (!pcm) return;
    const bool splice = std::exchange(spliceNext_, false);
    const std::size_t dropped =
        jitter_.append({std::move(*pcm), header.ptsMicros, splice}, queuedFrames_, clock_.uptimeMicros());
    if (dropped > 0) {
        write(format("resync backlog droppedFrames=%ld remainingFrames=%ld", static_cast<long>(dropped),
                     static_cast<long>(queuedFrames_ + jitter_.pendingFrames())));
    }
    pump();
}

bool AudioPlayback::ensureEngine(std::uint64_t now) {
    if (output_ && output_->isRunning()) return true;
    if (output_) tearDownEngine();
    if (now < engineRetryAt_) return false;
    auto output = makeOutput_();
    if (!output) return false;
    ++engineRun_;
    observe(*output);
    if (!output->start({static_cast<int>(format_.sampleRate), static_cast<int>(format_.channels)})) {
        engineRetryAt_ = now + kEngineRetryMicros;
        return false;
    }
    output_ = std::move(output);
    queuedFrames_ = 0;
    ++epoch_;
    resetBuffer();
    outputLatencyMicros_ = output_->latencyMicros();
    return true;
}

void AudioPlayback::pump() {
    const auto target = static_cast<std::size_t>(
        std::max<std::int64_t>(2 * format_.samplesPerFrame, format_.sampleRate * kScheduledMillis / 1000));
    while (queuedFrames_ < target) {
        const bool wasPlaying = jitter_.playing();
        const std::size_t concealedBefore = jitter_.concealedFrames();
        auto chunk = jitter_.next(queuedFrames_);
        if (!chunk) {
            if (wasPlaying && !jitter_.playing()) write("resync rebuffer after underrun");
            break;
        }
        if (chunk->pts) {
            reportScheduled(*chunk->pts, clock_.uptimeMicros(), queuedFrames_);
        } else if (concealedBefore == 0) {
            write(format("underrun queuedFrames=%ld sampleRate=%ld", static_cast<long>(queuedFrames_),
                         static_cast<long>(format_.sampleRate)));
        }
        const std::size_t frames = chunk->pcm.frameLength();
        queuedFrames_ += frames;
        output_->schedule(std::move(chunk->pcm.channels),
                          [weak = weak_from_this(), &queue = queue_, epoch = epoch_, frames] {
                              queue.async([weak, epoch, frames] {
                                  if (auto self = weak.lock()) self->scheduled(epoch, frames);
                              });
                          });
    }
    if (queuedFrames_ >= 1 && !output_->isPlaying()) output_->play();
}

// A buffer was heard; completions of abandoned audio carry an old epoch.
void AudioPlayback::scheduled(std::uint64_t epoch, std::size_t frames) {
    if (epoch != epoch_ || !output_) return;
    queuedFrames_ -= std::min(frames, queuedFrames_);
    pump();
}

void AudioPlayback::reportScheduled(std::uint64_t pts, std::uint64_t now, std::size_t aheadFrames) {
    Scheduled onScheduled;
    {
        std::lock_guard lock(onScheduledMutex_);
        onScheduled = onScheduled_;
    }
    if (!onScheduled) return;
    if (++reportCounter_ % kReportEvery != 0) return;
    const std::uint64_t playout =
        now + aheadFrames * 1'000'000 / static_cast<std::uint64_t>(format_.sampleRate) + outputLatencyMicros_;
    main_.async([onScheduled = std::move(onScheduled), pts, playout] { onScheduled(pts, playout); });
}

void AudioPlayback::resetBuffer() {
    jitter_ = MacAudioJitterBuffer(static_cast<int>(format_.sampleRate));
    previousHeader_.reset();
    spliceNext_ = false;
}

// Set before the engine starts; a change reported by an engine we have since replaced must not
// tear down its successor.
void AudioPlayback::observe(platform::AudioOutput& output) {
    output.onConfigurationChange = [weak = weak_from_this(), &queue = queue_, run = engineRun_] {
        queue.async([weak, run] {
            if (auto self = weak.lock(); self && self->engineRun_ == run) self->tearDownEngine();
        });
    };
}

void AudioPlayback::tearDownEngine() {
    queuedFrames_ = 0;
    ++epoch_;
    resetBuffer();
    if (!output_) return;
    output_->stopPlayer();
    output_->stop();
    output_->onConfigurationChange = nullptr;
    output_.reset();
}

void AudioPlayback::write(const std::string& line) const {
    if (log) log(line);
}

}  // namespace orvanta::client
