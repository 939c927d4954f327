// One audio run's packet numbering on the media connection: wraps each AAC packet in a type-2
// media packet and sends it without queueing behind a congested connection. A refused packet keeps
// the sequence without a hole and marks the next one as a discontinuity.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "base/Bytes.h"

namespace orvanta::host {

class WebSocketConnection;

class AudioPacketSender {
public:
    // Hands one WebSocket frame to the connection unless more than `pendingLimit` bytes are in
    // flight; answers whether it was accepted.
    using Send = std::function<bool(base::Bytes frame, std::int64_t pendingLimit)>;

    static constexpr std::int64_t kPendingLimitBytes = 262'144;

    AudioPacketSender(std::shared_ptr<WebSocketConnection> connection, std::uint16_t generation);
    AudioPacketSender(Send send, std::uint16_t generation);

    // Any thread, one packet at a time.
    void send(base::Bytes packet, std::uint64_t ptsMicros, bool discontinuity);

    std::uint16_t generation() const { return generation_; }
    std::uint32_t sequence() const { return sequence_; }
    bool dropped() const { return dropped_; }

private:
    const Send send_;
    const std::uint16_t generation_;
    std::uint32_t sequence_ = 0;
    bool dropped_ = false;
};

}  // namespace orvanta::host
