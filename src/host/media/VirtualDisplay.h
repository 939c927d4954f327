// Displays that exist only in software, shaped to a client's viewport: their sizes (pure
// functions) and their creation, mode selection, placement and release through the platform.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/Executor.h"
#include "platform/VirtualDisplayFactory.h"

namespace orvanta::host {

struct PixelSize {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::string text() const;
    bool operator==(const PixelSize&) const = default;
};

struct DisplaySize {
    PixelSize pixels;                       // the mode
    bool hiDPI = false;                     // a 2x mode: points are half the pixels
    PixelSize descriptorPixels;             // the largest size the display is made for
    std::optional<PixelSize> outputPixels;  // the encoded picture for display aspect fit; makes modes strict
    bool operator==(const DisplaySize&) const = default;
};

struct DisplayOrigin {
    std::int32_t x = 0;
    std::int32_t y = 0;
    bool operator==(const DisplayOrigin&) const = default;
};

class VirtualDisplay final {
public:
    VirtualDisplay(std::uint32_t id, DisplaySize madeSize, DisplayOrigin placedAt)
        : displayID(id), size(madeSize), origin(placedAt) {}

    const std::uint32_t displayID;
    const DisplaySize size;
    const DisplayOrigin origin;

    static constexpr std::string_view kName = "Orvanta 仮想ディスプレイ";

    // The display for a client viewport of the given aspect at a user scale (0.1 ... 2), at least
    // `minimum` where the limits allow; none for an empty viewport.
    static std::optional<DisplaySize> aspectDisplaySize(std::int64_t width, std::int64_t height, double scale,
                                                        std::optional<PixelSize> minimum);
    // A size at the viewport's aspect that fills the main display's pixels; none for an empty viewport.
    static std::optional<PixelSize> pixelSize(std::int64_t viewportWidth, std::int64_t viewportHeight,
                                              PixelSize mainPixels);
};

// Creates and releases virtual displays on the queue "zq2.vdisplay" (`queue`).
class VirtualDisplayService {
public:
    using LogFn = std::function<void(std::string_view)>;
    using SleepFn = std::function<void(std::chrono::milliseconds)>;

    // `sleep` waits between mode selection attempts; by default it blocks the calling thread.
    VirtualDisplayService(platform::VirtualDisplayFactory& factory, base::Executor& queue, LogFn log = {},
                          SleepFn sleep = {});

    bool isAvailable() const { return available_; }
    // Blocks for up to about a second; call it on `queue`. None on any failure, with one log line.
    std::shared_ptr<VirtualDisplay> create(const DisplaySize& size);
    // Removes the display asynchronously on `queue`.
    void release(std::shared_ptr<VirtualDisplay> display);

    static constexpr int kModeAttempts = 10;
    static constexpr std::chrono::milliseconds kModeRetryDelay{100};

private:
    std::string unavailableLine() const;
    bool selectMode(std::uint32_t id, const DisplaySize& size);
    void placeRightOfMain(std::uint32_t id);

    platform::VirtualDisplayFactory& factory_;
    base::Executor& queue_;
    LogFn log_;
    SleepFn sleep_;
    bool available_;
};

}  // namespace orvanta::host
