// The blackout covers as a plain screen grab sees them: one second after each reveal, one picture
// of every physical display (nothing left out, no cursor), saved as PNG and its mean brightness
// logged. While the covers are up a plain grab shows them, so its mean luma is near 0; the host's
// own capture leaves them out and keeps showing the desktop.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/Executor.h"
#include "platform/ScreenSource.h"

namespace orvanta::host {

class BlackoutOverlay;

class BlackoutDebugSnapshot {
public:
    using LogFn = std::function<void(std::string_view)>;

    static constexpr std::string_view kVariable = "ZQ2_DEBUG_BLACKOUT_SHOT";
    static constexpr base::Micros kDelayAfterReveal{1'000'000};

    struct Parts {
        base::Executor& main;
        base::Executor& work;  // where the grabs, the files and the sampling run
        std::shared_ptr<platform::ScreenSource> source;
        LogFn log;
    };

    // Replaces the overlay's reveal hook with one that shoots every display `kDelayAfterReveal`
    // after each reveal, into files named from `prefix`. Overlapping runs are allowed.
    static void install(BlackoutOverlay& overlay, std::string prefix, Parts parts);
    // Grabs, saves and logs one picture per physical display.
    static void shoot(const std::string& prefix, platform::ScreenSource& source, const LogFn& log);
    // The mean Rec. 601 luma, 0 to 255, over a grid of about 160 columns by 100 rows.
    static double meanLuma(const platform::ScreenImage& image);
    // The prefix, "-", the display identifier and ".png".
    static std::string fileName(std::string_view prefix, std::uint32_t display);
};

}  // namespace orvanta::host
