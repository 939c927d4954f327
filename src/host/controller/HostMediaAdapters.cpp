#include "host/controller/HostMediaAdapters.h"

#include "host/media/AudioCapture.h"
#include "host/media/AudioPacketSender.h"

namespace orvanta::host {
namespace {

// One audio run: the capture's packets framed onto the media connection it was made for.
class AudioRunView final : public HostAudioCapture {
public:
    AudioRunView(std::shared_ptr<AudioCapture> capture, std::shared_ptr<AudioPacketSender> sender)
        : capture_(std::move(capture)) {
        // Packets arrive on the capture's queue one at a time, so the sender needs no lock.
        capture_->onPacket = [sender = std::move(sender)](base::Bytes packet, std::uint64_t ptsMicros,
                                                          bool discontinuity) {
            sender->send(std::move(packet), ptsMicros, discontinuity);
        };
    }
    void setErrorHandler(std::function<void(std::string message)> handler) override {
        capture_->onError = std::move(handler);
    }
    void start(std::function<void(bool started)> completion) override { capture_->start(std::move(completion)); }
    void stop() override { capture_->stop(); }

private:
    std::shared_ptr<AudioCapture> capture_;
};

}  // namespace

CaptureView::~CaptureView() {
    release_.async([capture = std::move(capture_)] {});
}

void CaptureView::start(const CaptureStartOptions& options, std::function<void(bool started)> completion) {
    capture_->start({.window = options.window,
                     .windowScale = options.windowScale,
                     .viewport = options.viewport,
                     .displayID = options.displayID,
                     .requireDisplay = options.requireDisplay,
                     .usePixelScale = options.usePixelSize,
                     .aspectOutput = options.aspectOutput,
                     .minimum = options.minimum},
                    std::move(completion));
}

void EncoderView::setEncodedHandler(EncodedHandler handler) {
    encoder_->onEncoded = [gate = gate_, handler = std::move(handler)](base::Bytes avcc, bool isKey,
                                                                       std::uint64_t ptsMicros) {
        gate->pass([&] { handler(std::move(avcc), isKey, ptsMicros); });
    };
}

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

void VideoSenderView::attach(std::shared_ptr<WebSocketConnection> connection, bool pipelineRunning) {
    sender_.attach(videoConnection(std::move(connection)), pipelineRunning);
}

// The sender counts what it put on the connection; a frame it dropped leaves the count alone.
bool VideoSenderView::sendFrame(base::Bytes avcc, bool isKey, std::uint64_t ptsMicros) {
    const auto before = sender_.sentFrames();
    sender_.sendFrame(std::move(avcc), isKey, ptsMicros);
    return sender_.sentFrames() > before;
}

void BlackoutView::setBeforeReveal(std::function<void(std::function<void()> done)> hook) {
    overlay_->beforeReveal = [hook = std::move(hook)](const BlackoutOverlay::CoverIDs&,
                                                      std::function<void()> completion) {
        hook(std::move(completion));
    };
}

std::shared_ptr<HostCapture> SystemMedia::makeCapture(DeviceKind kind) {
    return std::make_shared<CaptureView>(Capture::create(kind, parts_.capture), *parts_.releaseQueue);
}

std::shared_ptr<HostEncoder> SystemMedia::makeEncoder(std::int64_t width, std::int64_t height) {
    return std::make_shared<EncoderView>(std::make_shared<Encoder>(width, height, parts_.log), gate_);
}

std::shared_ptr<HostWindowsCursorStream> SystemMedia::makeWindowsCursor(std::uint16_t generation) {
    return std::make_shared<WindowsCursorView>(
        WindowsCursorStream::create(generation, *parts_.cursorQueue, *parts_.cursorSampleQueue, parts_.cursorSampler));
}

std::shared_ptr<HostAudioCapture> SystemMedia::makeAudioCapture(std::shared_ptr<WebSocketConnection> connection,
                                                                std::uint16_t generation) {
    auto sender = std::make_shared<AudioPacketSender>(std::move(connection), generation);
    return std::make_shared<AudioRunView>(AudioCapture::create(parts_.audioSource(), *parts_.audioQueue, parts_.log),
                                          std::move(sender));
}

}  // namespace orvanta::host
