#include "host/media/AudioPacketSender.h"

#include "host/transport/WebSocket.h"
#include "protocol/VideoPacket.h"

namespace orvanta::host {

AudioPacketSender::AudioPacketSender(std::shared_ptr<WebSocketConnection> connection, std::uint16_t generation)
    : AudioPacketSender(
          [connection = std::move(connection)](base::Bytes frame, std::int64_t pendingLimit) {
              return connection->send(std::move(frame), pendingLimit);
          },
          generation) {}

AudioPacketSender::AudioPacketSender(Send send, std::uint16_t generation)
    : send_(std::move(send)), generation_(generation) {}

void AudioPacketSender::send(base::Bytes packet, std::uint64_t ptsMicros, bool discontinuity) {
    using protocol::PacketFlags;
    const std::uint32_t next = sequence_ + 1;
    const PacketFlags flags = discontinuity || dropped_ ? PacketFlags::discontinuity : PacketFlags{};
    auto built = protocol::VideoPacket::make(protocol::PacketType::audio, flags, generation_, next, ptsMicros,
                                             std::move(packet));
    if (!built) return;
    if (send_(WebSocketParser::frame(built->encoded(), WebSocketOpcode::binary), kPendingLimitBytes)) {
        sequence_ = next;
        dropped_ = false;
    } else {
        dropped_ = true;
    }
}

}  // namespace orvanta::host
