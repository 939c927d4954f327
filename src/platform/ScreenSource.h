// What screen capture needs of the display server: the displays and windows that can be captured,
// and a stream of pictures of one of them, delivered only when something visible changed.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace orvanta::platform {

// The host's own virtual displays carry this mark: a RandR monitor or output whose name starts
// with the prefix, or a display whose vendor and product numbers are both the identity.
inline constexpr std::string_view kVirtualDisplayNamePrefix = "ORVANTA-";
inline constexpr std::uint16_t kVirtualDisplayIdentity = 0x5A51;

constexpr bool carriesVirtualDisplayMark(std::string_view name) { return name.starts_with(kVirtualDisplayNamePrefix); }

struct ScreenRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    double midX() const { return x + width / 2; }
    double midY() const { return y + height / 2; }
    bool isEmpty() const { return !(width > 0) || !(height > 0); }
    // The common part, or an empty rectangle at the origin when there is none.
    ScreenRect intersection(const ScreenRect& other) const;

    bool operator==(const ScreenRect&) const = default;
};

inline ScreenRect ScreenRect::intersection(const ScreenRect& o) const {
    const double left = x > o.x ? x : o.x;
    const double top = y > o.y ? y : o.y;
    const double right = maxX() < o.maxX() ? maxX() : o.maxX();
    const double bottom = maxY() < o.maxY() ? maxY() : o.maxY();
    if (!(right > left) || !(bottom > top)) return {};
    return {left, top, right - left, bottom - top};
}

struct ShareableDisplay {
    std::uint32_t id = 0;
    ScreenRect frame;             // global coordinates, in points
    std::int64_t modeWidth = 0;   // the current mode's width in points, 0 when unknown
    std::int64_t pixelWidth = 0;  // the current mode's width in pixels
    bool ownVirtual = false;      // one of the host's own virtual displays
    bool operator==(const ShareableDisplay&) const = default;
};

struct ShareableWindow {
    std::uint32_t id = 0;
    ScreenRect frame;
    bool operator==(const ShareableWindow&) const = default;
};

struct ShareableContent {
    std::vector<ShareableDisplay> displays;
    std::optional<std::uint32_t> mainDisplay;
    std::vector<ShareableWindow> windows;  // on-screen windows, front to back
    bool operator==(const ShareableContent&) const = default;
};

struct DisplayTarget {
    std::uint32_t id = 0;
    bool operator==(const DisplayTarget&) const = default;
};
struct WindowTarget {
    std::uint32_t id = 0;
    bool operator==(const WindowTarget&) const = default;
};
using CaptureTarget = std::variant<DisplayTarget, WindowTarget>;

// One picture, 32-bit BGRX, valid only during the call that hands it over.
struct ScreenImage {
    std::span<const std::uint8_t> pixels;
    int width = 0;
    int height = 0;
    int stride = 0;  // bytes per row
    std::uint64_t ptsMicros = 0;
    // Numbered from 1 by a stream that knows what changed: rows [changedTop, changedBottom) hold
    // all that differs from its image numbered one less. 0: nothing is known, every row may differ.
    std::uint64_t sequence = 0;
    int changedTop = 0;
    int changedBottom = 0;
};

struct StreamSettings {
    CaptureTarget target;
    bool showsCursor = true;
    int maxFramesPerSecond = 60;
    // Windows kept out of the picture (the blackout covers). While non-empty the picture is built
    // by the FrameComposer instead of grabbed, because a grab would contain them, and changes are
    // learnt from the composer, because the covers hide them from the screen.
    std::set<std::uint32_t> excludedWindows;
};

class ScreenStream {
public:
    using ImageHandler = std::function<void(const ScreenImage&)>;
    // The stream ended on its own (display gone, window closed, server gone), with why.
    using StopHandler = std::function<void(std::string)>;

    // Stops the stream first.
    virtual ~ScreenStream() = default;
    // Pictures arrive on the stream's own thread: the first at once, then only after a change,
    // at most `maxFramesPerSecond` a second. `onStopped` is called at most once, on that thread.
    virtual std::expected<void, std::string> start(ImageHandler onImage, StopHandler onStopped) = 0;
    // Returns once no picture is being delivered and none will be.
    virtual void stop() = 0;
    virtual std::expected<void, std::string> setExcludedWindows(std::set<std::uint32_t> windows) = 0;
    // Delivers the current picture once more even if nothing changed.
    virtual void redeliver() = 0;
};

// Builds the picture of a target without the excluded windows, from the windows' own contents.
// Supplied by the compositing backend; used by a stream only while it excludes windows.
class FrameComposer {
public:
    // Held while a stream composes; dropping it ends the calls.
    class Watch {
    public:
        virtual ~Watch() = default;
    };

    virtual ~FrameComposer() = default;
    // Fills `out` (`area` of the screen for a display, the window's own area for a window; BGRX
    // rows of `stride` bytes) for `target`, leaving `excluded` out. True when the picture may
    // differ from the one this composer made before of the same target and area.
    virtual std::expected<bool, std::string> compose(const CaptureTarget& target, const ScreenRect& area,
                                                     const std::set<std::uint32_t>& excluded,
                                                     std::span<std::uint8_t> out, int stride) = 0;
    // Calls `changed`, from any thread, whenever a picture composed since may have changed: the
    // windows left out may hide those changes from the screen itself. `changed` must not wait.
    virtual std::unique_ptr<Watch> watch(std::function<void()> changed) = 0;
};

class ScreenSource {
public:
    virtual ~ScreenSource() = default;
    virtual std::expected<ShareableContent, std::string> content() = 0;
    virtual std::expected<std::unique_ptr<ScreenStream>, std::string> openStream(const StreamSettings& settings) = 0;
};

}  // namespace orvanta::platform
