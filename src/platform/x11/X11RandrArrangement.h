// The RandR arrangement the virtual display changes: read from the server, kept in a file while
// the display exists, and put back on release or at the start after a crash.
#pragma once

#include <xcb/randr.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/x11/XConnection.h"

namespace orvanta::platform::x11 {

// What release and recovery put back: screen size, CRTCs, primary output, user-defined monitors.
struct RandrArrangement {
    struct Crtc {
        std::uint32_t id = 0;
        std::int32_t x = 0;
        std::int32_t y = 0;
        std::uint32_t mode = 0;
        std::uint16_t rotation = XCB_RANDR_ROTATION_ROTATE_0;
        std::vector<std::uint32_t> outputs;
        bool operator==(const Crtc&) const = default;
    };
    struct Monitor {
        std::string name;
        bool primary = false;
        std::int32_t x = 0;
        std::int32_t y = 0;
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        std::uint32_t mmWidth = 0;
        std::uint32_t mmHeight = 0;
        std::vector<std::uint32_t> outputs;
        bool operator==(const Monitor&) const = default;
    };

    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t mmWidth = 0;
    std::uint32_t mmHeight = 0;
    std::vector<Crtc> crtcs;
    std::uint32_t primary = 0;
    std::vector<Monitor> monitors;  // user-defined ones; automatic monitors follow the outputs
    bool operator==(const RandrArrangement&) const = default;

    std::string toJson() const;
    static std::expected<RandrArrangement, std::string> fromJson(const std::string& text);
};

std::expected<RandrArrangement, std::string> readArrangement(XConnection& x);
// Puts `saved` back and removes every mode and monitor carrying the host's mark.
std::expected<void, std::string> restoreArrangement(XConnection& x, const RandrArrangement& saved);

// Keeps `arrangement` in `path` (a private file, its folders made as needed) for release or the
// next start to put back.
std::expected<void, std::string> saveArrangement(const std::filesystem::path& path,
                                                 const RandrArrangement& arrangement);
// Whether this server still holds a mode or monitor of ours: a saved arrangement describes the
// life of one server, and only while something of ours is left is it that server.
bool carriesOurMarks(XConnection& x);

}  // namespace orvanta::platform::x11
