// One display or one window captured as a stream of NV12 frames for the encoder: chooses the
// display (never the host's own virtual displays unless asked for by identifier), sizes the
// picture for the client and the encoder, keeps the blackout covers out of it, and hands the newest
// frame with its presentation time to one handler on the frame queue "zq2.capture.frames": a frame
// the handler has not taken before the next is converted is replaced by it, so a slow encoder never
// works through a queue of stale pictures.
// The owner creates a new Capture for every pipeline start.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <expected>
#include "base/DispatchQueue.h"
#include "host/media/CaptureSizing.h"
#include "host/media/PixelBuffer.h"
#include "host/media/WindowCaptureGeometry.h"
#include "host/transport/HostSettingsModel.h"
#include "platform/ScreenSource.h"

namespace orvanta::host {

class CaptureConverter;

class Capture : public std::enable_shared_from_this<Capture> {
    struct Passkey {};

public:
    using FrameHandler = std::function<void(std::shared_ptr<const PixelBuffer>, std::uint64_t ptsMicros)>;
    using LogSink = std::function<void(std::string_view)>;

    // What a capture needs of its surroundings; everything but `source` has a default.
    struct Environment {
        std::shared_ptr<platform::ScreenSource> source;
        // The blackout covers' window numbers, read under the overlay's lock.
        std::function<std::set<std::uint32_t>()> coverIDs;
        // The window's content area when the window system knows better than its frame.
        std::function<std::optional<platform::ScreenRect>(std::uint32_t windowID)> contentBounds;
        AspectOutputSizer aspectSizer;
        LogSink log;
        // Pauses the start task between content fetches; tests pass one that only counts.
        std::function<void(std::chrono::milliseconds)> wait;
    };

    struct StartOptions {
        std::optional<platform::ShareableWindow> window = std::nullopt;  // captured instead of a display
        double windowScale = 1;
        std::optional<CaptureSize> viewport = std::nullopt;
        std::optional<std::uint32_t> displayID = std::nullopt;
        bool requireDisplay = false;  // a missing requested display fails instead of falling back
        bool usePixelScale = false;
        std::optional<CaptureSize> aspectOutput = std::nullopt;
        std::optional<CaptureSize> minimum = std::nullopt;
    };

    static constexpr std::string_view kNoDisplayText = "ディスプレイが見つかりません";
    static constexpr std::string_view kNoWindowAreaText = "窓の表示範囲を取得できません";
    static constexpr std::string_view kSnapshotVariable = "ZQ2_DEBUG_SNAPSHOT";

    static std::shared_ptr<Capture> create(DeviceKind kind, Environment environment);
    Capture(Passkey, DeviceKind kind, Environment environment);
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Set by the owner before start; called from the capture's own threads.
    std::function<void(std::string)> onError;

    // `completion` is called exactly once, from the capture's own thread: true when the stream
    // runs (or already ran), false on failure or when a stop came first.
    void start(StartOptions options, std::function<void(bool)> completion);
    void stop();
    // Swapped on the frame queue, so a swap never races a frame being delivered.
    void setFrameHandler(FrameHandler handler);
    // Brings the running capture's exclusions up to the current covers, then calls `done`.
    void updateOverlayExclusions(std::function<void()> done);
    // Delivers the current picture again: a forced keyframe on a still screen needs a frame.
    void repeatLastFrame();

    bool showsCursor() const { return showsCursor_; }
    bool running() const { return running_.load(); }
    // Read by the owner after a successful start.
    std::int64_t width() const;
    std::int64_t height() const;
    std::optional<std::uint32_t> capturedDisplayID() const;
    std::optional<platform::ScreenRect> displayContentRect() const;
    std::optional<WindowCaptureGeometry> windowGeometry() const;
    std::set<std::uint32_t> excludedOverlayIDs() const;

private:
    struct Plan;

    void runStart(const StartOptions& options, const std::function<void(bool)>& completion);
    std::expected<platform::ShareableContent, std::string> fetchContent();
    std::optional<Plan> planDisplay(const StartOptions& options, const platform::ShareableContent& content);
    std::optional<Plan> planWindow(const StartOptions& options, const platform::ShareableContent& content);
    std::set<std::uint32_t> currentCovers() const;
    bool startStream(Plan plan);
    void applyOverlayExclusions();
    void handleImage(const platform::ScreenImage& image);
    void handOnNewest();
    void handleStreamStop(std::string why);
    void takeSnapshot(const PixelBuffer& frame);
    void fail(const std::string& text);
    void log(std::string_view line) const;
    void pause(std::chrono::milliseconds duration) const;

    const bool showsCursor_;
    const Environment environment_;
    // Stopped in this order by the destructor: stream, control (with a stream being stopped there), frames.
    std::unique_ptr<base::DispatchQueue> frameQueue_;
    std::unique_ptr<base::DispatchQueue> controlQueue_;  // start tasks, filter updates, stream teardown
    FrameHandler onFrame_;                               // frame queue only
    std::mutex mailboxMutex_;
    // The newest converted frame not yet handed on; a hand-on task is queued while there is one.
    std::optional<std::pair<std::shared_ptr<const PixelBuffer>, std::uint64_t>> mailbox_;
    // The latest picture that came before any handler, for a fresh one to replace; frame queue only.
    std::optional<std::pair<std::shared_ptr<const PixelBuffer>, std::uint64_t>> heldFrame_;

    std::atomic<bool> running_{false};
    std::atomic<bool> stopRequested_{false};
    mutable std::mutex mutex_;  // the fields below
    std::unique_ptr<platform::ScreenStream> stream_;
    std::int64_t width_ = 0;
    std::int64_t height_ = 0;
    std::optional<std::uint32_t> capturedDisplayID_;
    std::optional<platform::ScreenRect> displayContentRect_;
    std::optional<WindowCaptureGeometry> windowGeometry_;
    std::optional<platform::ShareableDisplay> capturedDisplay_;
    std::set<std::uint32_t> excludedOverlayIDs_;
    // Streams handed to the control queue to be stopped there; see the destructor.
    std::vector<std::weak_ptr<platform::ScreenStream>> stopping_;

    // Stream thread only.
    std::unique_ptr<CaptureConverter> converter_;
    platform::ScreenRect sourceArea_;       // in the delivered picture's pixels; empty: all of it
    platform::ScreenRect destinationArea_;  // in output pixels
    bool snapshotTaken_ = false;
};

}  // namespace orvanta::host
