// The controller's media views over the real video sender, encoder and blackout covers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "host/controller/HostComponents.h"
#include "host/media/Blackout.h"
#include "host/media/Encoder.h"
#include "host/media/VideoSender.h"

namespace orvanta::host {

class EncoderView final : public HostEncoder {
public:
    explicit EncoderView(std::shared_ptr<Encoder> encoder) : encoder_(std::move(encoder)) {}
    void forceKeyframe() override { encoder_->forceKeyframe(); }
    void invalidate() override { encoder_->invalidate(); }
    Encoder& encoder() const { return *encoder_; }

private:
    std::shared_ptr<Encoder> encoder_;
};

// The sender's callbacks are forwarded to the view's, which the controller sets.
class VideoSenderView final : public HostVideoSender {
public:
    explicit VideoSenderView(VideoSender& sender);
    ~VideoSenderView() override;
    VideoSenderView(const VideoSenderView&) = delete;
    VideoSenderView& operator=(const VideoSenderView&) = delete;

    // Only encoders made by this adapter family carry a bit rate the sender can step.
    void checkStall(std::uint64_t nowMicros, HostEncoder* encoder) override;
    void rebaseStallClock(std::uint64_t nowMicros) override { sender_.rebaseStallClock(nowMicros); }
    void detach() override { sender_.detach(); }
    void attach(std::shared_ptr<WebSocketConnection> connection, bool pipelineRunning) override;

    VideoSender& sender() const { return sender_; }

private:
    VideoSender& sender_;
};

class BlackoutView final : public HostBlackout {
public:
    explicit BlackoutView(std::shared_ptr<BlackoutOverlay> overlay) : overlay_(std::move(overlay)) {}
    void request(bool covered) override { overlay_->request(covered); }
    // The controller has no use for the cover ids: capture reads them from the overlay itself.
    void setBeforeReveal(std::function<void(std::function<void()> done)> hook) override;

private:
    std::shared_ptr<BlackoutOverlay> overlay_;
};

}  // namespace orvanta::host
