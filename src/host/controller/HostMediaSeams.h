// The controller's view of its media: a factory for each pipeline run's capture, encoder and
// Windows cursor stream, and for each audio run's capture. The component views themselves
// (HostCapture, HostEncoder, HostVideoSender, HostWindowsCursorStream) are in HostComponents.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// Bytes, Executor, PixelBuffer, WindowCaptureGeometry and StreamConfig serve the component views
// in HostComponents.h, which includes this header.
#include "base/Bytes.h"
#include "base/Executor.h"
#include "host/media/CaptureSizing.h"
#include "host/media/PixelBuffer.h"
#include "host/media/WindowCaptureGeometry.h"
#include "host/transport/HostSettingsModel.h"
#include "platform/ScreenSource.h"
#include "protocol/StreamConfig.h"

namespace orvanta::host {

class WebSocketConnection;
class HostCapture;
class HostEncoder;
class HostWindowsCursorStream;

// What one capture start shows and at which size.
struct CaptureStartOptions {
    std::optional<platform::ShareableWindow> window;  // captured instead of a display
    double windowScale = 1;
    std::optional<CaptureSize> viewport;  // the device's, in pixels
    std::optional<std::uint32_t> displayID;
    bool requireDisplay = false;              // a missing requested display fails instead of falling back
    bool usePixelSize = false;                // at the display's pixels rather than its points
    std::optional<CaptureSize> aspectOutput;  // the exact output of a display-aspect display
    std::optional<CaptureSize> minimum;       // a Windows client's screen
    bool operator==(const CaptureStartOptions&) const = default;
};

// One audio run: the system's sound as AAC packets, framed and sent on the media connection it was
// made for (at most 262,144 bytes in flight; a refused packet is dropped and the next one carries
// the discontinuity flag). Not restarted after stop.
class HostAudioCapture {
public:
    virtual ~HostAudioCapture() = default;
    // Set before start; any thread, with the failure as text.
    virtual void setErrorHandler(std::function<void(std::string message)> handler) = 0;
    // Asynchronous; `completion` gets whether it runs, from any thread. A failure also reaches
    // the error handler.
    virtual void start(std::function<void(bool started)> completion) = 0;
    // No packet is sent once it returns.
    virtual void stop() = 0;
};

class HostMedia {
public:
    virtual ~HostMedia() = default;
    // A capture that shows the pointer, except for a Windows client, which draws its own.
    virtual std::shared_ptr<HostCapture> makeCapture(DeviceKind kind) = 0;
    virtual std::shared_ptr<HostEncoder> makeEncoder(std::int64_t width, std::int64_t height) = 0;
    // The cursor stream of a Windows client for one pipeline run.
    virtual std::shared_ptr<HostWindowsCursorStream> makeWindowsCursor(std::uint16_t generation) = 0;
    // An audio run whose packets carry `generation` and go to `connection`.
    virtual std::shared_ptr<HostAudioCapture> makeAudioCapture(std::shared_ptr<WebSocketConnection> connection,
                                                               std::uint16_t generation) = 0;
};

}  // namespace orvanta::host
