#include "host/controller/HostMediaAdapters.h"

namespace orvanta::host {

VideoSenderView::VideoSenderView(VideoSender& sender) : sender_(sender) {
    sender_.onForceKeyframe = [this] {
        if (onForceKeyframe) onForceKeyframe();
    };
    sender_.onStage2Stall = [this] {
        if (onStage2Stall) onStage2Stall();
    };
}

VideoSenderView::~VideoSenderView() {
    sender_.onForceKeyframe = nullptr;
    sender_.onStage2Stall = nullptr;
}

void VideoSenderView::checkStall(std::uint64_t nowMicros, HostEncoder* encoder) {
    auto* view = dynamic_cast<EncoderView*>(encoder);
    sender_.checkStall(nowMicros, view ? &view->encoder() : nullptr);
}

void VideoSenderView::attach(std::shared_ptr<WebSocketConnection> connection, bool pipelineRunning) {
    sender_.attach(videoConnection(std::move(connection)), pipelineRunning);
}

void BlackoutView::setBeforeReveal(std::function<void(std::function<void()> done)> hook) {
    overlay_->beforeReveal = [hook = std::move(hook)](const BlackoutOverlay::CoverIDs&,
                                                      std::function<void()> completion) {
        hook(std::move(completion));
    };
}

}  // namespace orvanta::host
