// Virtual displays on X11 through RandR 1.5. Either a spare output with a free CRTC gets a mode
// of the wanted size to the right of the main display, or, on a server that drives no physical
// monitor, the one CRTC's mode is grown over both areas and split into two RandR monitors. The
// display is the RandR monitor named with the host's mark; its id is that name's atom.
//
// RandR state outlives this process, so the arrangement is saved to a file before anything
// changes; release puts it back, and a later start puts back what a crashed run left behind.
#pragma once

#include <xcb/randr.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DisplayConfiguration.h"
#include "platform/VirtualDisplayFactory.h"
#include "platform/x11/X11RandrArrangement.h"
#include "platform/x11/XConnection.h"

namespace orvanta::platform::x11 {

// While a span exists the main display is a user-defined monitor named after the output with this
// suffix (RandR keeps the output's own name for its automatic monitor). It is the same display:
// the display id of a monitor is the atom of its name without the suffix.
inline constexpr std::string_view kSpannedMainSuffix = "~main";
std::uint32_t monitorDisplayID(XConnection& x, xcb_atom_t name);
// The active RandR monitors as displays: id, bounds, and whether they carry the host's mark.
std::vector<ArrangedDisplay> activeMonitors(XConnection& x);
// A property of 32-bit values of `window`, at most `longs` of them; empty when absent or of another format.
std::vector<std::uint32_t> rootCardinals(XConnection& x, xcb_window_t window, std::string_view name, xcb_atom_t type,
                                         std::uint32_t longs);

// CVT reduced-blanking timings (version 1) for a mode of this size and refresh rate.
xcb_randr_mode_info_t cvtReducedBlanking(std::uint16_t width, std::uint16_t height, int refreshHz);

enum class VirtualDisplayStrategy { spareOutput, span, none };

// What a start found of a run that ended with a display in place: nothing, an arrangement put
// back, or one saved on an earlier X server and dropped unapplied.
enum class CrashRecovery { nothing, restored, dropped };

class X11VirtualDisplayFactory final : public VirtualDisplayFactory {
public:
    // `stateFile` empty: defaultStateFile(display).
    static std::expected<std::unique_ptr<X11VirtualDisplayFactory>, std::string> open(
        const std::string& display = {}, std::filesystem::path stateFile = {});
    // $XDG_STATE_HOME/orvanta/randr-arrangement-<display>.json (~/.local/state when unset); one
    // file per X display, since each has its own arrangement. `display` empty means $DISPLAY.
    // Empty without either variable: no display is made then.
    static std::filesystem::path defaultStateFile(const std::string& display = {});
    ~X11VirtualDisplayFactory() override;

    // At start: puts back an arrangement that a crashed run left behind on this server; windows go
    // with their displays, and those on the display of ours onto the main one. The saved file stays
    // until the arrangement is seen back, so that a failed attempt is tried again next start.
    std::expected<CrashRecovery, std::string> recoverAfterCrash();
    // None also where the screen cannot grow to hold a display beside the main one.
    VirtualDisplayStrategy strategy();

    bool isAvailable() override;
    std::string unavailableReason() override;
    std::expected<std::uint32_t, std::string> create(const VirtualDisplayRequest& request) override;
    std::optional<DisplayMode> currentMode(std::uint32_t id) override;
    std::vector<DisplayMode> modes(std::uint32_t id) override;
    int setMode(std::uint32_t id, const DisplayMode& mode) override;
    std::optional<DisplayBounds> mainBounds() override;
    int place(std::uint32_t id, std::int32_t x, std::int32_t y) override;
    std::optional<DisplayBounds> bounds(std::uint32_t id) override;
    void release(std::uint32_t id) override;

private:
    X11VirtualDisplayFactory(std::unique_ptr<XConnection> x, std::filesystem::path stateFile);
    std::expected<void, std::string> build(VirtualDisplayStrategy strategy, const DisplayMode& size);
    std::expected<void, std::string> putBack(const RandrArrangement& saved);

    std::unique_ptr<XConnection> x_;
    std::filesystem::path stateFile_;
    std::optional<VirtualDisplayStrategy> strategy_;
    std::string unavailable_;                     // why the strategy is none
    std::optional<RandrArrangement> saved_;       // while a display exists
    std::optional<RandrArrangement> unrestored_;  // after a release whose restore did not take
    std::uint32_t displayID_ = 0;
};

// The arrangement of the RandR monitors, with the ids capture gives them. A monitor moves with its
// CRTC when it covers the CRTC exactly; a monitor a client defined (the host's own, or a display
// split by a span) moves its own rectangle. The display at the origin is made primary. A moved
// display's windows move with it, keeping their place on it.
class X11DisplayConfiguration final : public DisplayConfiguration {
public:
    static std::expected<std::unique_ptr<X11DisplayConfiguration>, std::string> open(const std::string& display = {});

    std::vector<ArrangedDisplay> activeDisplays() override;
    std::uint32_t mainDisplay() override;
    std::expected<void, DisplayConfigurationError> setOrigins(const std::vector<DisplayPlacement>& placements) override;

private:
    explicit X11DisplayConfiguration(std::unique_ptr<XConnection> x) : x_(std::move(x)) {}

    std::unique_ptr<XConnection> x_;
};

}  // namespace orvanta::platform::x11
