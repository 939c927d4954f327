// The narrow views the host controller has of its desktop and media components: only the operations
// it calls. Each real component is adapted to its view where the application assembles the host;
// tests hand the controller fakes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/controller/HostControlSeams.h"
#include "host/controller/HostMediaSeams.h"
#include "host/media/DualCaptureTest.h"
#include "host/media/Encoder.h"
#include "host/desktop/LockUnlocker.h"
#include "host/transport/HostSettingsModel.h"

namespace orvanta::host {

class WebSocketConnection;
// The window and display seams of window fit and display aspect fit, each declared in its own header.
class HostFitWindows;
class HostDisplays;
class HostAspectWindows;

// The sender steps the bit rate of the running encoder through its BitRateControl side.
class HostEncoder : public BitRateControl {
public:
    using ParametersHandler = std::function<void(base::Bytes sps, base::Bytes pps)>;
    using EncodedHandler = std::function<void(base::Bytes avcc, bool isKey, std::uint64_t ptsMicros)>;

    virtual ~HostEncoder() = default;
    // Under the encoder's lock: the next frame becomes a keyframe, unless the encoder is invalidated.
    virtual void forceKeyframe() = 0;
    // Any thread, never waiting for the codec: later outputs are dropped.
    virtual void invalidate() = 0;
    // Opens the codec; blocks for seconds at worst, so never on the controller's queue. False
    // leaves the encoder unusable.
    virtual bool start() = 0;
    // From the capture's frame queue; the outputs are called back on that thread, in order.
    virtual void encode(std::shared_ptr<const PixelBuffer> picture, std::uint64_t ptsMicros) = 0;
    virtual std::int64_t width() const = 0;
    virtual std::int64_t height() const = 0;
    // Set before frames arrive. Parameters come only when they differ from the previous ones. The
    // encoded handler waits for the controller's queue, so it is never called under a lock that
    // forceKeyframe or invalidate take.
    virtual void setParametersHandler(ParametersHandler handler) = 0;
    virtual void setEncodedHandler(EncodedHandler handler) = 0;
};

class HostCapture {
public:
    using FrameHandler = std::function<void(std::shared_ptr<const PixelBuffer> picture, std::uint64_t ptsMicros)>;

    virtual ~HostCapture() = default;
    virtual bool running() const = 0;
    // A display, rather than a window, is being captured.
    virtual bool capturesDisplay() const = 0;
    // Refreshes which cover windows the capture leaves out, then calls `done`, from any thread.
    virtual void updateOverlayExclusions(std::function<void()> done) = 0;
    // Asynchronous; no frame follows.
    virtual void stop() = 0;
    // Set before start; any thread, with the failure as text.
    virtual void setErrorHandler(std::function<void(std::string message)> handler) = 0;
    // `completion` runs once, from any thread: true when the stream runs, false when it failed
    // (the error handler tells why) or a stop came first.
    virtual void start(const CaptureStartOptions& options, std::function<void(bool started)> completion) = 0;
    // Every frame, on the capture's frame queue; swapped between frames.
    virtual void setFrameHandler(FrameHandler handler) = 0;
    // The current picture once more, within a frame interval, even on a still screen.
    virtual void repeatLastFrame() = 0;
    // The pointer is drawn into the picture (false for a Windows client).
    virtual bool showsCursor() const = 0;
    // After a successful start: the output size and what it shows.
    virtual std::int64_t width() const = 0;
    virtual std::int64_t height() const = 0;
    virtual std::optional<std::uint32_t> capturedDisplayID() const = 0;
    // Where the display lies in a letterboxed picture, in 0...1 of it.
    virtual std::optional<platform::ScreenRect> displayContentRect() const = 0;
    virtual std::optional<WindowCaptureGeometry> windowGeometry() const = 0;
};

// The video channel's sender, with what it learns from the control channel. Its callbacks are set
// by the controller after construction.
class HostVideoSender {
public:
    virtual ~HostVideoSender() = default;
    // Runs the stall stages; `encoder` is the running one, if any.
    virtual void checkStall(std::uint64_t nowMicros, HostEncoder* encoder) = 0;
    virtual void rebaseStallClock(std::uint64_t nowMicros) = 0;
    // No connection, no unacknowledged frames, stalled and dropped-frame flags cleared, no stage-1 grace.
    virtual void detach() = 0;
    // Takes the authenticated video connection, replacing any earlier one.
    virtual void attach(std::shared_ptr<WebSocketConnection> connection, bool pipelineRunning) = 0;
    // A video connection is attached.
    virtual bool hasConnection() const = 0;
    // The stream generation of the frames and configurations that follow.
    virtual void setGeneration(std::uint16_t generation) = 0;
    // A new configuration packet, sent now and on every later attach.
    virtual void setConfig(const protocol::StreamConfig& config) = 0;
    // Whether the frame counted as sent (rather than dropped).
    virtual bool sendFrame(base::Bytes avcc, bool isKey, std::uint64_t ptsMicros) = 0;
    // A pipeline run started on the video connection: a restart after the first opens the grace
    // that forgives a stage-2 stall.
    virtual void recordCaptureStart(std::uint64_t nowMicros) = 0;
    // True when the acknowledged frame is the first of its generation to be shown.
    virtual bool ackReceived(std::uint16_t gen, std::uint32_t seq) = 0;
    virtual void setBaseRTTMicros(std::uint64_t micros) = 0;

    std::function<void()> onForceKeyframe;  // from any thread
    std::function<void()> onStage2Stall;    // on the controller's queue
};

// The cursor stream of a Windows main session.
class HostWindowsCursorStream {
public:
    virtual ~HostWindowsCursorStream() = default;
    virtual void send(const NormalizedCursor& position, std::uint64_t nowMicros, WebSocketConnection& control) = 0;
};

// The black covers over the host's displays.
class HostBlackout {
public:
    virtual ~HostBlackout() = default;
    // Covers on or off, applied later on the main thread.
    virtual void request(bool covered) = 0;
    // Called with a completion before covers are shown; they appear once it has run.
    virtual void setBeforeReveal(std::function<void(std::function<void()> done)> hook) = 0;
};

// The components the controller is created with. `simulatedUnlock` runs on the main thread: it plans
// the keystrokes of a password with the current keyboard layout and returns an environment that
// starts locked and expects them (none when the password cannot be typed).
struct HostComponents {
    std::shared_ptr<HostInput> input;
    std::shared_ptr<UnlockEnvironment> unlockEnvironment;
    std::shared_ptr<HostVideoSender> sender;
    std::shared_ptr<HostBlackout> blackout;
    std::function<std::shared_ptr<UnlockEnvironment>(const std::string& password)> simulatedUnlock;
    bool virtualDisplaysAvailable = false;
    std::shared_ptr<HostFitWindows> fitWindows;        // window fit and follow
    std::shared_ptr<HostDisplays> displays;            // virtual displays and the arrangement
    std::shared_ptr<HostAspectWindows> aspectWindows;  // window migration

    // Media: capture, encoder and audio capture.
    // Without media neither the pipeline nor audio ever starts; without the encoder queue, no pipeline.
    std::shared_ptr<HostMedia> media;
    // Where encoders are started: a global queue of user-initiated priority, never the controller's.
    base::Executor* encoderQueue = nullptr;

    // Diagnostics the debug environment turns on; either may be missing. The blackout screenshot
    // check takes the prefix of its files; the capture self test is made for the controller to keep.
    std::function<void(const std::string& prefix)> blackoutSnapshot;
    std::function<std::shared_ptr<DualCaptureTest>()> dualCaptureTest;
};

}  // namespace orvanta::host
