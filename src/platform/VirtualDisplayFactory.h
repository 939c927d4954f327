// Virtual displays: displays that exist only in software, which the pointer can reach and capture
// can show. The host's media code decides sizes and modes; a backend makes the display real.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ScreenSource.h"

namespace orvanta::platform {

// The name every display made by the host carries: it carries the mark by which capture and the
// blackout covers tell the host's own virtual displays from physical ones.
inline constexpr std::string_view kVirtualDisplayMark = "ORVANTA-5A51";
static_assert(carriesVirtualDisplayMark(kVirtualDisplayMark));

// A display mode in pixels.
struct DisplayMode {
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool operator==(const DisplayMode&) const = default;
};

// A display's area in the global coordinate space (the X screen).
struct DisplayBounds {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool operator==(const DisplayBounds&) const = default;
};

struct VirtualDisplayRequest {
    std::string name;
    DisplayMode maxPixels;           // the largest size the display is made for
    std::vector<DisplayMode> modes;  // offered modes, the first is the wanted one
    int refreshHz = 60;
    bool operator==(const VirtualDisplayRequest&) const = default;
};

// Create and release run on one serial queue; the other calls read the display's current state.
// A display id is non-zero and stays valid until release.
class VirtualDisplayFactory {
public:
    virtual ~VirtualDisplayFactory() = default;

    // Whether this machine can make a virtual display at all; decided once.
    virtual bool isAvailable() = 0;
    // Why not, when it cannot; empty otherwise.
    virtual std::string unavailableReason() = 0;
    // Makes the display (not yet placed where the caller wants it) and returns its id, or why not.
    virtual std::expected<std::uint32_t, std::string> create(const VirtualDisplayRequest& request) = 0;
    virtual std::optional<DisplayMode> currentMode(std::uint32_t id) = 0;
    virtual std::vector<DisplayMode> modes(std::uint32_t id) = 0;
    // 0 on success, else a backend result code.
    virtual int setMode(std::uint32_t id, const DisplayMode& mode) = 0;
    virtual std::optional<DisplayBounds> mainBounds() = 0;
    // Moves the display's origin; 0 on success, else a backend result code.
    virtual int place(std::uint32_t id, std::int32_t x, std::int32_t y) = 0;
    virtual std::optional<DisplayBounds> bounds(std::uint32_t id) = 0;
    // Removes the display and restores what it changed.
    virtual void release(std::uint32_t id) = 0;
};

}  // namespace orvanta::platform
