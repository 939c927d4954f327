// Media channel decoding on hostile bytes: the header and packet parsers in all three forms, the
// stream configuration decoder and both client gates. The input is read once as a whole message
// and once as a run of messages, each a 2-byte big-endian length and that many bytes (the last
// takes what is left), so that the gates see sequences. Any disagreement between the parse forms
// or broken round trip aborts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "protocol/AudioFormat.h"
#include "protocol/StreamConfig.h"
#include "protocol/VideoPacket.h"

namespace {

using namespace orvanta;
using namespace orvanta::protocol;

void check(bool condition) {
    if (!condition) std::abort();
}

void checkConfig(const VideoPacketView& view) {
    auto config = StreamConfig::decode(view);
    if (!config) return;
    check(config->gen == view.header.gen);
    // What a host writes from a decoded configuration decodes back to the same configuration.
    auto packet = config->packet(view.header.seq, view.header.ptsMicros);
    if (!packet) return;  // re-escaped JSON may outgrow a packet
    check(StreamConfig::decode(*packet) == *config);
}

void feed(base::ByteView message, FrameDiscardFilter& video, AudioPacketFilter& audio) {
    auto header = VideoPacketHeader::parse(message);
    auto view = VideoPacketView::parse(message);
    auto copied = VideoPacket::parse(message);
    auto moved = VideoPacket::parse(base::Bytes(message.begin(), message.end()));
    if (auto config = StreamConfig::fromJson(message)) {
        if (auto json = config->jsonData()) check(StreamConfig::fromJson(*json) == config);
    }

    check(view.has_value() == copied.has_value() && copied.has_value() == moved.has_value());
    if (!view) {
        check(view.error() == copied.error() && copied.error() == moved.error());
        if (!header) check(header.error() == view.error());
        return;
    }
    check(header && *header == view->header);
    check(view->payload.size() == view->header.length);
    check(*copied == *moved && copied->view().header == view->header);
    check(VideoPacket::parse(copied->encoded()) == copied);

    checkConfig(*view);
    if (view->header.type == PacketType::config) video.didReceiveConfig(view->header.gen);
    video.decide(view->header);
    if (view->payload.empty()) video.didFailDecoding();
    audio.decide(view->header);
    check(audio.currentGen().has_value() == audio.lastSeq().has_value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const base::ByteView input(data, size);
    FrameDiscardFilter video;
    AudioPacketFilter audio;
    feed(input, video, audio);

    FrameDiscardFilter chunkedVideo;
    AudioPacketFilter chunkedAudio;
    for (std::size_t at = 0; at < input.size();) {
        std::size_t length = input.size() - at;
        if (length >= 2) {
            length = std::min<std::size_t>((std::size_t{input[at]} << 8 | input[at + 1]), length - 2);
            at += 2;
        }
        feed(input.subspan(at, length), chunkedVideo, chunkedAudio);
        at += length;
    }
    return 0;
}
