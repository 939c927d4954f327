// The pair link that a device opens or scans to pair without typing the host's address: the
// host's Tailscale DNS name, learned from the Tailscale tool, and the pairing code, as text and as
// a QR code. Nothing is cached; the tool runs again for every issued code.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Bytes.h"
#include "platform/ProcessRunner.h"

namespace orvanta::host {

// The modules of a QR symbol, without a quiet zone: `size` x `size`, row by row, true for dark.
// Meant to be scaled by whole multiples without smoothing.
struct QrMatrix {
    int version = 0;
    int size = 0;
    std::vector<bool> modules;

    bool dark(int x, int y) const { return modules[static_cast<std::size_t>(y * size + x)]; }
    bool operator==(const QrMatrix&) const = default;
};

namespace HostPairLink {

// The first of these that is an executable file is run.
inline const std::vector<std::string> kToolPaths = {"/usr/local/bin/tailscale", "/opt/homebrew/bin/tailscale",
                                                    "/Applications/Tailscale.app/Contents/MacOS/Tailscale",
                                                    "/usr/bin/tailscale"};
inline constexpr std::chrono::milliseconds kToolTimeout{5000};

struct Tool {
    std::vector<std::string> paths = kToolPaths;
    std::chrono::milliseconds timeout = kToolTimeout;
};

// Runs "status --json" and builds the link for `code` (the display form). Blocks for as long as
// the tool runs, at most about the tool's time limit; call it away from the host and main queues.
std::optional<std::string> lookup(std::string_view code, platform::ProcessRunner& runner, const Tool& tool = {});
// The link from the tool's standard output, when it names a valid DNS name.
std::optional<std::string> make(base::ByteView status, std::string_view code);
// The QR symbol of the text's UTF-8 bytes, at error-correction level M.
std::optional<QrMatrix> qr(std::string_view text);

}  // namespace HostPairLink
}  // namespace orvanta::host
