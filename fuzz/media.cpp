// The client's media path on hostile bytes: video messages through the stream assembler (stream
// configuration, parameter sets, the avcC record built from them, length-prefixed access units)
// and an AAC-LC offer's AudioSpecificConfig with its packets through the AAC decoder.
//
// Input layout: byte 0 bit 0 picks the path. Video: the rest is a run of messages, each a 2-byte
// big-endian length and that many bytes (the last takes what is left); an empty one resets the
// assembler as a new stream does. Audio: byte 1 picks the sample rate (low 4 bits) and the channel
// count (bits 4 and 5), byte 2 the AudioSpecificConfig's length (low 3 bits), then the
// AudioSpecificConfig, then a run of packets framed as the video messages are.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "FuzzSupport.h"
#include "client/session/AudioPlayback.h"
#include "client/session/StreamAssembler.h"

namespace {

using namespace orvanta;
using base::ByteView;

void check(bool condition) {
    if (!condition) std::abort();
}

// Calls `take` with each message of a run of 2-byte length-prefixed messages.
template <class Take>
void forEachMessage(ByteView rest, Take take) {
    while (rest.size() >= 2) {
        const std::size_t wanted = std::size_t{rest[0]} << 8 | rest[1];
        rest = rest.subspan(2);
        const std::size_t length = std::min(wanted, rest.size());
        take(rest.first(length));
        rest = rest.subspan(length);
    }
}

std::uint16_t bigEndian16(const base::Bytes& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

// The avcC record holds exactly the format's one SPS and one PPS, with 4-byte NAL lengths.
void checkAvcC(const client::H264Format& format) {
    const base::Bytes record = format.avcC();
    check(record.size() == 11 + format.sps.size() + format.pps.size());
    check(record[0] == 1 && record[4] == 0xFF && record[5] == 0xE1);
    check(bigEndian16(record, 6) == format.sps.size());
    check(std::equal(format.sps.begin(), format.sps.end(), record.begin() + 8));
    const std::size_t pps = 8 + format.sps.size();
    check(record[pps] == 1 && bigEndian16(record, pps + 1) == format.pps.size());
    check(std::equal(format.pps.begin(), format.pps.end(), record.begin() + static_cast<std::ptrdiff_t>(pps + 3)));
}

void video(ByteView rest) {
    fuzzing::DrainedExecutor main;
    fuzzing::SteppingClock clock(4'000);
    auto assembler = std::make_shared<client::StreamAssembler>(main, clock);
    std::optional<client::MediaTime> last;
    assembler->onConfig = [](int width, int height) {
        check(width >= 1 && width <= client::StreamAssembler::kMaxDimension);
        check(height >= 1 && height <= client::StreamAssembler::kMaxDimension);
    };
    assembler->onFrame = [&last](std::shared_ptr<const client::VideoSample> sample, protocol::Ack ack) {
        check(sample && sample->format && client::validateAVCC(sample->avcc).has_value());
        check(ack.gen == sample->gen && ack.seq == sample->seq);
        check(!last || sample->presentationTime > *last);
        last = sample->presentationTime;
        checkAvcC(*sample->format);
    };
    forEachMessage(rest, [&](ByteView message) {
        if (message.empty()) {
            assembler->reset();
            last.reset();
        } else {
            assembler->process(message);
        }
    });
}

void audio(ByteView rest) {
    static constexpr std::int64_t kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                                              16000, 12000, 11025, 8000,  7350,  0,     1,     192000};
    if (rest.size() < 2) return;
    const std::int64_t rate = kRates[rest[0] & 15];
    const std::int64_t channels = (rest[0] >> 4) & 3;
    const std::size_t ascLength = std::min<std::size_t>(rest[1] & 7, rest.size() - 2);
    base::Bytes asc(rest.begin() + 2, rest.begin() + 2 + static_cast<std::ptrdiff_t>(ascLength));
    rest = rest.subspan(2 + ascLength);
    const auto format = protocol::AudioFormat::make(std::string(protocol::AudioFormat::codecAACLC), rate, channels,
                                                    protocol::AudioFormat::aacFrameSamples, std::move(asc));
    auto decoder = client::AACDecoder::make(format);
    if (!decoder) return;
    forEachMessage(rest, [&](ByteView packet) {
        const auto pcm = decoder->decode(packet);
        if (!pcm) return;
        check(pcm->channels.size() == static_cast<std::size_t>(channels));
        for (const auto& channel : pcm->channels) {
            check(channel.size() == pcm->frameLength());
            check(channel.size() <= 2 * protocol::AudioFormat::aacFrameSamples);
        }
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const ByteView rest(data + 1, size - 1);
    if ((data[0] & 1) == 0) {
        video(rest);
    } else {
        audio(rest);
    }
    return 0;
}
