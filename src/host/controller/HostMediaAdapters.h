// The controller's media views over the real capture, encoder, video sender, Windows cursor
// stream, audio capture and blackout covers, and the factory that makes them for each run.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "base/Executor.h"
#include "host/controller/HostComponents.h"
#include "host/media/Blackout.h"
#include "host/media/Capture.h"
#include "host/media/Encoder.h"
#include "host/media/VideoSender.h"
#include "host/media/WindowsCursorStream.h"
#include "platform/CursorSampler.h"
#include "platform/SystemAudioSource.h"

namespace orvanta::host {

// The capture's last reference is dropped on `release`: a capture's end waits for its frame
// thread, which may itself be waiting to hand an encoded frame to the controller's queue, where
// the controller lets go of its captures.
class CaptureView final : public HostCapture {
public:
    CaptureView(std::shared_ptr<Capture> capture, base::Executor& release)
        : capture_(std::move(capture)), release_(release) {}
    ~CaptureView() override;
    CaptureView(const CaptureView&) = delete;
    CaptureView& operator=(const CaptureView&) = delete;

    bool running() const override { return capture_->running(); }
    bool capturesDisplay() const override { return !capture_->windowGeometry().has_value(); }
    void updateOverlayExclusions(std::function<void()> done) override {
        capture_->updateOverlayExclusions(std::move(done));
    }
    void stop() override { capture_->stop(); }
    void setErrorHandler(std::function<void(std::string message)> handler) override {
        capture_->onError = std::move(handler);
    }
    void start(const CaptureStartOptions& options, std::function<void(bool started)> completion) override;
    void setFrameHandler(FrameHandler handler) override { capture_->setFrameHandler(std::move(handler)); }
    void repeatLastFrame() override { capture_->repeatLastFrame(); }
    bool showsCursor() const override { return capture_->showsCursor(); }
    std::int64_t width() const override { return capture_->width(); }
    std::int64_t height() const override { return capture_->height(); }
    std::optional<std::uint32_t> capturedDisplayID() const override { return capture_->capturedDisplayID(); }
    std::optional<platform::ScreenRect> displayContentRect() const override { return capture_->displayContentRect(); }
    std::optional<WindowCaptureGeometry> windowGeometry() const override { return capture_->windowGeometry(); }

private:
    std::shared_ptr<Capture> capture_;
    base::Executor& release_;
};

// Whether encoders may still hand their outputs on. Closed once, when the host shuts down: an
// output being handed on (which waits for the controller's queue) finishes first.
class EncoderOutputGate {
public:
    template <class Hand>
    void pass(Hand&& hand) {
        std::lock_guard guard(mutex_);
        if (open_) hand();
    }
    void close() {
        std::lock_guard guard(mutex_);
        open_ = false;
    }

private:
    std::mutex mutex_;
    bool open_ = true;
};

class EncoderView final : public HostEncoder {
public:
    EncoderView(std::shared_ptr<Encoder> encoder, std::shared_ptr<EncoderOutputGate> gate)
        : encoder_(std::move(encoder)), gate_(std::move(gate)) {}

    void forceKeyframe() override { encoder_->forceKeyframe(); }
    void invalidate() override { encoder_->invalidate(); }
    bool start() override { return encoder_->start(); }
    void encode(std::shared_ptr<const PixelBuffer> picture, std::uint64_t ptsMicros) override {
        encoder_->encode(picture, ptsMicros);
    }
    std::int64_t width() const override { return encoder_->width(); }
    std::int64_t height() const override { return encoder_->height(); }
    void setParametersHandler(ParametersHandler handler) override { encoder_->onParameters = std::move(handler); }
    void setEncodedHandler(EncodedHandler handler) override;
    std::int64_t initialBitRate() const override { return encoder_->initialBitRate(); }
    void setPendingBitRate(std::int64_t rate) override { encoder_->setPendingBitRate(rate); }

private:
    std::shared_ptr<Encoder> encoder_;
    std::shared_ptr<EncoderOutputGate> gate_;
};

// The one view of the sender: the pipeline's frames and stall checks and the control channel's
// acknowledgements. The sender's callbacks are forwarded to the view's, which the controller sets.
class VideoSenderView final : public HostVideoSender {
public:
    explicit VideoSenderView(VideoSender& sender);
    ~VideoSenderView() override;
    VideoSenderView(const VideoSenderView&) = delete;
    VideoSenderView& operator=(const VideoSenderView&) = delete;

    void checkStall(std::uint64_t nowMicros, HostEncoder* encoder) override { sender_.checkStall(nowMicros, encoder); }
    void rebaseStallClock(std::uint64_t nowMicros) override { sender_.rebaseStallClock(nowMicros); }
    void detach() override { sender_.detach(); }
    void attach(std::shared_ptr<WebSocketConnection> connection, bool pipelineRunning) override;
    bool hasConnection() const override { return sender_.connection() != nullptr; }
    void setGeneration(std::uint16_t generation) override { sender_.setGeneration(generation); }
    void setConfig(const protocol::StreamConfig& config) override { sender_.setConfig(config); }
    bool sendFrame(base::Bytes avcc, bool isKey, std::uint64_t ptsMicros) override;
    void recordCaptureStart(std::uint64_t nowMicros) override { sender_.captureRestartGrace.recordStart(nowMicros); }
    bool ackReceived(std::uint16_t gen, std::uint32_t seq) override { return sender_.ackReceived(gen, seq); }
    void setBaseRTTMicros(std::uint64_t micros) override { sender_.baseRTTMicros = micros; }

private:
    VideoSender& sender_;
};

class WindowsCursorView final : public HostWindowsCursorStream {
public:
    explicit WindowsCursorView(std::shared_ptr<WindowsCursorStream> stream) : stream_(std::move(stream)) {}
    void send(const NormalizedCursor& position, std::uint64_t nowMicros, WebSocketConnection& control) override {
        stream_->send({position.x, position.y, position.visible}, nowMicros, control);
    }

private:
    std::shared_ptr<WindowsCursorStream> stream_;
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

// What the media of this machine are made from. The executors outlive the factory and every
// component it made.
struct SystemMediaParts {
    Capture::Environment capture;
    std::function<std::unique_ptr<platform::SystemAudioSource>()> audioSource;
    base::Executor* audioQueue = nullptr;   // "zq2.audio"
    base::Executor* cursorQueue = nullptr;  // the controller's queue, where cursor messages are sent
    base::Executor* cursorSampleQueue = nullptr;
    base::Executor* releaseQueue = nullptr;  // where captures end; never the controller's queue
    std::shared_ptr<platform::CursorSampler> cursorSampler;
    std::function<void(std::string_view)> log;
};

class SystemMedia final : public HostMedia {
public:
    explicit SystemMedia(SystemMediaParts parts) : parts_(std::move(parts)) {}

    std::shared_ptr<HostCapture> makeCapture(DeviceKind kind) override;
    std::shared_ptr<HostEncoder> makeEncoder(std::int64_t width, std::int64_t height) override;
    std::shared_ptr<HostWindowsCursorStream> makeWindowsCursor(std::uint16_t generation) override;
    std::shared_ptr<HostAudioCapture> makeAudioCapture(std::shared_ptr<WebSocketConnection> connection,
                                                       std::uint16_t generation) override;

    // At shutdown, before the controller goes: no encoder made here hands on another output, so
    // none waits on the controller's queue while a capture is being torn down there.
    void close() { gate_->close(); }

private:
    SystemMediaParts parts_;
    std::shared_ptr<EncoderOutputGate> gate_ = std::make_shared<EncoderOutputGate>();
};

}  // namespace orvanta::host
