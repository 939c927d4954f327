// A video connection that keeps what is sent and reports whatever backlog the test sets.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "host/media/VideoSender.h"
#include "protocol/VideoPacket.h"

namespace orvanta::testing {

class FakeVideoConnection final : public host::VideoConnection {
public:
    void sendBinary(base::Bytes message) override { sent.push_back(std::move(message)); }
    std::int64_t bytesInFlight() const override { return inFlight.load(); }

    // The headers of what was sent, in order; a message that is not a packet fails the test.
    std::vector<protocol::VideoPacketHeader> headers() const {
        std::vector<protocol::VideoPacketHeader> out;
        for (const auto& message : sent) {
            auto packet = protocol::VideoPacketView::parse(message);
            EXPECT_TRUE(packet.has_value());
            if (packet) out.push_back(packet->header);
        }
        return out;
    }

    std::vector<base::Bytes> sent;
    std::atomic<std::int64_t> inFlight{0};
};

class FakeBitRateControl final : public host::BitRateControl {
public:
    explicit FakeBitRateControl(std::int64_t initial) : initial_(initial) {}
    std::int64_t initialBitRate() const override { return initial_; }
    void setPendingBitRate(std::int64_t rate) override { rates.push_back(rate); }

    std::vector<std::int64_t> rates;

private:
    std::int64_t initial_;
};

}  // namespace orvanta::testing
