// The media pipeline: the video channel (a video connection authenticates once with the main
// session's ticket within ten seconds, and its close detaches it) and the runs it feeds, one
// capture and one encoder at a time, each run a new stream generation. On the host queue; the
// session, window fit, display aspect fit, the pointer and audio are the coordinator's, reached
// through the neighbours it sets.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Bytes.h"
#include "base/Clock.h"
#include "base/Executor.h"
// HostSession.h uses the device kinds and routes without including them.
#include "host/transport/HostSettingsModel.h"
//
#include "host/controller/HostComponents.h"
#include "host/controller/HostFitState.h"
#include "host/controller/HostSession.h"
#include "host/controller/QueueHop.h"
#include "host/media/VirtualDisplay.h"
#include "host/transport/WebSocket.h"

namespace orvanta::host {

// The session and the host around the pipeline.
struct PipelineHost {
    std::function<void(std::string_view line)> log;
    std::function<std::shared_ptr<HostSession>()> session;  // the main session, if any
    std::function<bool()> paused;
    std::function<void(std::string text)> setStatus;
    std::function<void(bool failed)> publishCaptureFailed;
    // The session's video connection came or went: audio follows it.
    std::function<void()> videoChanged;
};

// What the pipeline reads and asks of window fit.
struct PipelineFit {
    std::function<std::optional<WindowFit>()> current;  // the fit in force, suspended or not
    std::function<bool()> pending;
    std::function<std::uint64_t()> generation;
    // The fitted window could not be captured: the fit ends and the devices are told.
    std::function<void()> giveUp;
};

// Display aspect fit and its virtual display as one pipeline step reads them.
struct PipelineAspect {
    bool on = false;
    double scale = 1.0;
    std::optional<std::uint32_t> applicationDisplayID;  // the display aspect fit's application runs on
    bool captureSelected = false;                       // ...and has selected for capture
    std::optional<DisplaySize> virtualSize;             // the virtual display, if one is in use
    bool creating = false;                              // a virtual display is being made
    bool restoring = false;                             // the physical arrangement is being put back
    bool operator==(const PipelineAspect&) const = default;
};

// What the pipeline reads and asks of the displays.
struct PipelineDisplays {
    std::function<PipelineAspect()> aspect;
    std::function<bool()> highRes;  // the high-resolution mode is on
    std::function<std::uint32_t()> physicalCaptureDisplayID;
    // The aspect display's capture runs: the physical windows move onto it.
    std::function<void()> migrateWindows;
};

// Pointer input and its mapping onto the captured picture.
struct PipelineInput {
    std::function<bool()> pointerReady;
    // Pointer input pauses for a change of picture; input held while it was ready is released.
    std::function<void()> beginPointerChange;
    // Pointer input comes back with the first shown frame of `generation`.
    std::function<void(std::uint16_t generation)> awaitFrame;
    std::function<void(const std::function<void(InputMapping&)>& change)> updateMapping;
};

class MediaPipeline final : public std::enable_shared_from_this<MediaPipeline> {
public:
    static constexpr base::Micros kVideoAuthTimeout{10'000'000};
    static constexpr base::Micros kRetryDelay{2'000'000};
    static constexpr int kRetries = 2;  // for a failed capture and for a failed encoder start
    static constexpr std::uint64_t kIdleCaptureMicros = 15'000'000;
    static constexpr std::int64_t kStreamFpsCap = 60;

    // Without `media` or the encoder queue (where encoders start, never the host queue) no run starts.
    struct Media {
        std::shared_ptr<HostMedia> media;
        base::Executor* encoderQueue = nullptr;
        std::shared_ptr<HostVideoSender> sender;
    };

    // `connectionLog` is what the video connections log through (the host log when unset).
    MediaPipeline(base::Executor& queue, const base::Clock& clock, WebSocketConnection::LogSink connectionLog,
                  Media media);

    // Late hops run only while `owner` lives, and keep it alive while they run.
    void setLifetime(std::weak_ptr<const void> owner) { owner_ = std::move(owner); }
    // Set by the coordinator after construction.
    PipelineHost host;
    PipelineFit fit;
    PipelineDisplays displays;
    PipelineInput input;

    // The video channel: takes a connection the server upgraded on the video path.
    void acceptVideo(UpgradedSocket socket, base::Bytes leftover);
    // Connections that have not authenticated yet.
    std::size_t pendingVideos() const { return pendingVideos_.size(); }
    // The sender's second stall stage: the session's video connection is closed, the run kept.
    void closeStalledVideo();
    // The session let its video go for good: no idle stop is pending.
    void cancelIdleStop() { videoDetachedAt_.reset(); }
    // Housekeeping: a run left without video for fifteen seconds stops.
    void stopIfIdle();

    // A run starts when the session streams, nothing is paused or pending, and none runs.
    void startIfNeeded();
    // Never waits for the encoder: its last frames are dropped by the sender's generation.
    void stop();
    void forceKeyframe();
    // The sender's stall stages, with the running encoder.
    void checkStall(std::uint64_t at);

    // What the neighbours read.
    const std::shared_ptr<HostCapture>& capture() const { return capture_; }
    std::optional<std::uint32_t> aspectCaptureID() const { return activeAspectCaptureID_; }
    // When the session's video went, while no idle stop has followed.
    std::optional<std::uint64_t> videoDetachedAt() const { return videoDetachedAt_; }
    std::optional<WindowCaptureGeometry> windowGeometry() const { return streamingWindowGeometry_; }
    // A Windows client's cursor, on the stream of the run that draws no pointer.
    void sendWindowsCursor(const NormalizedCursor& cursor, std::uint64_t at, WebSocketConnection& control);
    // The oldest frame sent since the last call, as capture-to-send time.
    std::uint64_t takeMaxFrameAge() { return std::exchange(maxFrameAge_, 0); }

private:
    friend class HostControllerProbe;  // the controller's tests of other concerns stage runs through it

    // The video channel.
    void authenticate(const std::shared_ptr<WebSocketConnection>& connection, bool& authenticated,
                      const std::string& text);
    void videoAttached(const std::shared_ptr<WebSocketConnection>& connection);
    void videoClosed(const std::shared_ptr<WebSocketConnection>& connection);
    void videoGone(std::uint64_t at);

    // A run's steps.
    std::optional<std::uint32_t> aspectCaptureSource() const;
    CaptureStartOptions captureOptions(std::optional<std::uint32_t> aspectDisplay) const;
    bool streamsToPhone() const;
    void captureStarted(const std::shared_ptr<HostCapture>& capture, std::optional<std::uint32_t> aspectDisplay,
                        bool started);
    void startEncoder(const std::shared_ptr<HostCapture>& capture, std::uint16_t gen);
    void finishEncoderStart(const std::shared_ptr<HostEncoder>& encoder, bool ready,
                            const std::shared_ptr<HostCapture>& capture, std::uint16_t gen);
    void runEncoder(const std::shared_ptr<HostEncoder>& encoder, const std::shared_ptr<HostCapture>& capture,
                    std::uint16_t gen);
    void wireEncoderOutputs(const std::shared_ptr<HostEncoder>& encoder, std::uint16_t gen);
    void sendStreamConfig(const HostEncoder& encoder, std::uint16_t gen, base::Bytes sps, base::Bytes pps);
    void sendEncodedFrame(base::Bytes avcc, bool isKey, std::uint64_t ptsMicros);
    void logWindowsVideo(std::uint16_t gen, const HostEncoder& encoder);
    void encoderStartFailed(const std::shared_ptr<HostCapture>& capture);
    void captureFailed(const std::shared_ptr<HostCapture>& capture, std::optional<std::uint32_t> aspectDisplay,
                       const std::string& message);
    void giveUpFitLater();
    void retry(const std::shared_ptr<HostCapture>& capture, std::string_view what, int count);
    bool streamWanted() const;
    bool fitActive() const;
    std::uint16_t nextGeneration();
    void log(std::string_view line) const { host.log(line); }
    std::uint64_t now() const { return clock_.uptimeMicros(); }

    // `handle` runs on the host queue with the pipeline while it and its owner live; callable from
    // any thread.
    template <class... Args, class Handle>
    std::function<void(Args...)> onQueue(Handle handle);
    void post(base::Micros delay, std::function<void(MediaPipeline&)> task);

    base::Executor& queue_;
    const base::Clock& clock_;
    WebSocketConnection::LogSink connectionLog_;
    Media media_;
    std::weak_ptr<const void> owner_;
    std::vector<std::shared_ptr<WebSocketConnection>> pendingVideos_;

    std::shared_ptr<HostCapture> capture_;
    std::shared_ptr<HostEncoder> encoder_;
    std::shared_ptr<HostWindowsCursorStream> windowsCursor_;
    int encoderStartFailures_ = 0;
    int captureErrorRetries_ = 0;
    std::uint16_t genCounter_ = 0;
    std::optional<WindowCaptureGeometry> streamingWindowGeometry_;
    std::optional<std::uint32_t> activeAspectCaptureID_;  // the aspect display, while its capture runs
    std::optional<std::uint64_t> videoDetachedAt_;
    std::uint64_t maxFrameAge_ = 0;
};

template <class... Args, class Handle>
std::function<void(Args...)> MediaPipeline::onQueue(Handle handle) {
    return hopToQueue<Args...>(queue_, weak_from_this(),
                               [handle = std::move(handle)](MediaPipeline& self, Args... args) {
                                   if (auto owner = self.owner_.lock()) handle(self, std::move(args)...);
                               });
}

}  // namespace orvanta::host
