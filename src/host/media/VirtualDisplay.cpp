#include "host/media/VirtualDisplay.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "host/media/CaptureSizing.h"
#include "host/transport/Support.h"

namespace orvanta::host {
namespace {

constexpr std::int64_t kMaxWidth = 3840;
constexpr std::int64_t kMaxHeight = 4096;
constexpr double kLnTwenty = 2.995732273553991;

std::int64_t roundUpToEven(std::int64_t value) { return value + (value & 1); }
bool withinMacroblocks(std::int64_t width, std::int64_t height) {
    return macroblockCount({width, height}) <= kMaxMacroblocks;
}

// The viewport's shape: candidate sizes by their long side.
struct Aspect {
    std::int64_t longSide;
    std::int64_t shortSide;
    bool portrait;
    bool exactAtOwnSize;  // with a minimum, the viewport's own long side keeps its exact short side

    PixelSize candidate(std::int64_t l) const {
        std::int64_t s = 0;
        if (exactAtOwnSize && l == longSide) {
            s = roundUpToEven(shortSide);
        } else {
            const double ratio = static_cast<double>(shortSide) / static_cast<double>(longSide);
            s = 2 * static_cast<std::int64_t>(std::ceil(static_cast<double>(l) * ratio / 2.0));
            if (s <= 0) s = 2;
        }
        return portrait ? PixelSize{s, l} : PixelSize{l, s};
    }
    bool fits(std::int64_t l) const {
        const PixelSize c = candidate(l);
        return c.width <= kMaxWidth && c.height <= kMaxHeight && withinMacroblocks(c.width, c.height);
    }
};

std::optional<DisplaySize> aspectSize(std::int64_t width, std::int64_t height, double scale,
                                      std::optional<PixelSize> minimum, bool mayFollowMinimum) {
    if (width < 1 || height < 1) return std::nullopt;
    const Aspect aspect{std::max(width, height), std::min(width, height), width < height, minimum.has_value()};

    std::int64_t lo = 1;
    std::int64_t hi = aspect.portrait ? 2048 : 1920;
    while (lo < hi) {
        const std::int64_t mid = (lo + hi + 1) / 2;
        if (aspect.fits(2 * mid)) {
            lo = mid;
        } else {
            hi = mid - 1;
        }
    }
    const std::int64_t maxLong = 2 * lo;
    lo = (std::min(maxLong, aspect.longSide) + 1) / 2;

    if (minimum) {
        const std::int64_t mw = roundUpToEven(std::min(minimum->width, kMaxWidth));
        const std::int64_t mh = roundUpToEven(std::min(minimum->height, kMaxHeight));
        const auto meets = [&](std::int64_t l) {
            const PixelSize c = aspect.candidate(l);
            return c.width >= mw && c.height >= mh;
        };
        if (!meets(maxLong)) {
            // This aspect cannot reach the minimum: follow the minimum's own aspect (once; the
            // minimum's own aspect always meets itself, so a second round would only loop).
            if (mayFollowMinimum) {
                std::optional<PixelSize> m;
                if (withinMacroblocks(mw, mh)) m = PixelSize{mw, mh};
                return aspectSize(mw, mh, scale, m, false);
            }
        } else {
            std::int64_t high = maxLong / 2;
            while (lo < high) {
                const std::int64_t mid = (lo + high) / 2;
                if (meets(2 * mid)) {
                    high = mid;
                } else {
                    lo = mid + 1;
                }
            }
        }
    }

    const std::int64_t base = 2 * lo;
    const std::int64_t top = std::min(maxLong, static_cast<std::int64_t>(static_cast<double>(2 * base) / 0.1));
    const double s = std::isfinite(scale) ? std::clamp(scale, 0.1, 2.0) : 1.0;
    const double e = std::log(2.0 / s) / kLnTwenty;
    const double grown = static_cast<double>(base) * std::pow(static_cast<double>(top) / static_cast<double>(base), e);
    const std::int64_t l = std::clamp(2 * static_cast<std::int64_t>(std::round(grown / 2.0)), base, top);
    return DisplaySize{aspect.candidate(l), true, aspect.candidate(top), aspect.candidate(base)};
}

std::int64_t evenWithin(double value, std::int64_t limit) {
    std::int64_t v = static_cast<std::int64_t>(value);
    v -= v % 2;
    return std::clamp<std::int64_t>(v, 2, limit);
}

}  // namespace

std::string PixelSize::text() const { return std::to_string(width) + "x" + std::to_string(height); }

std::optional<DisplaySize> VirtualDisplay::aspectDisplaySize(std::int64_t width, std::int64_t height, double scale,
                                                             std::optional<PixelSize> minimum) {
    return aspectSize(width, height, scale, minimum, true);
}

std::optional<PixelSize> VirtualDisplay::pixelSize(std::int64_t viewportWidth, std::int64_t viewportHeight,
                                                   PixelSize mainPixels) {
    if (viewportWidth <= 0 || viewportHeight <= 0) return std::nullopt;
    const double vw = static_cast<double>(viewportWidth);
    const double vh = static_cast<double>(viewportHeight);
    const double sx = static_cast<double>(mainPixels.width) / vw;
    const double sy = static_cast<double>(mainPixels.height) / vh;
    const double k = std::min({3840.0 / vw, 2400.0 / vh, std::max({sx, sy, 1.0})});
    return PixelSize{evenWithin(k * vw, 3840), evenWithin(k * vh, 2400)};
}

VirtualDisplayService::VirtualDisplayService(platform::VirtualDisplayFactory& factory, base::Executor& queue, LogFn log,
                                             SleepFn sleep)
    : factory_(factory),
      queue_(queue),
      log_(log ? std::move(log) : LogFn([](std::string_view line) { Log::info(line); })),
      sleep_(sleep ? std::move(sleep) : SleepFn([](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); })),
      available_(factory.isAvailable()) {
    if (!available_) log_(unavailableLine());
}

// The platform's reason travels with the line: without it nobody can tell what to change.
std::string VirtualDisplayService::unavailableLine() const {
    const std::string reason = factory_.unavailableReason();
    return "virtual display: API unavailable" + (reason.empty() ? std::string() : " (" + reason + ")");
}

namespace {

std::int64_t scaleOf(const DisplaySize& size) { return size.hiDPI ? 2 : 1; }

bool acceptable(const PixelSize& p) {
    return p.width >= 1 && p.height >= 1 && p.width <= kMaxWidth && p.height <= kMaxHeight;
}

std::string modeText(const std::optional<platform::DisplayMode>& mode, std::int64_t f, std::string_view pixelsFirst) {
    const platform::DisplayMode m = mode.value_or(platform::DisplayMode{});
    const std::string px = std::to_string(m.width) + "x" + std::to_string(m.height) + "px";
    const std::string pt = std::to_string(m.width / f) + "x" + std::to_string(m.height / f) + "pt";
    return pixelsFirst == "px" ? px + " (" + pt + ")" : pt + " / " + px;
}

}  // namespace

std::shared_ptr<VirtualDisplay> VirtualDisplayService::create(const DisplaySize& size) {
    if (!available_) {
        log_(unavailableLine());
        return nullptr;
    }
    // Sizes come from a device: nothing beyond what a display may be reaches the system.
    if (!acceptable(size.pixels) || !acceptable(size.descriptorPixels) ||
        (size.outputPixels && !acceptable(*size.outputPixels))) {
        log_("virtual display: mode creation failed");
        return nullptr;
    }
    const platform::DisplayMode wanted{size.pixels.width, size.pixels.height};
    const platform::VirtualDisplayRequest request{
        std::string(platform::kVirtualDisplayMark),
        {std::max(size.descriptorPixels.width, wanted.width), std::max(size.descriptorPixels.height, wanted.height)},
        {wanted},
        60};
    const auto created = factory_.create(request);
    if (!created) {
        log_("virtual display: creation failed (" + created.error() + ")");
        return nullptr;
    }
    const std::uint32_t id = *created;
    if (id == 0) {
        log_("virtual display: no display id");
        return nullptr;
    }
    const std::int64_t f = scaleOf(size);
    if (!selectMode(id, size) && size.outputPixels) {
        log_("virtual display: requested Retina mode " + std::to_string(wanted.width / f) + "x" +
             std::to_string(wanted.height / f) + "pt / " + size.pixels.text() + "px unavailable, actual " +
             modeText(factory_.currentMode(id), f, "pt"));
        factory_.release(id);
        return nullptr;
    }
    placeRightOfMain(id);
    const auto bounds = factory_.bounds(id).value_or(platform::DisplayBounds{});
    log_("virtual display: created id=" + std::to_string(id) + " requested " + size.pixels.text() + "px " +
         (size.hiDPI ? "HiDPI" : "1x") + " mode " + modeText(factory_.currentMode(id), f, "px") + " origin " +
         std::to_string(bounds.x) + "," + std::to_string(bounds.y));
    return std::make_shared<VirtualDisplay>(id, size, DisplayOrigin{bounds.x, bounds.y});
}

void VirtualDisplayService::release(std::shared_ptr<VirtualDisplay> display) {
    if (!display) return;
    queue_.async([this, display = std::move(display)] {
        factory_.release(display->displayID);
        log_("virtual display: released id=" + std::to_string(display->displayID));
    });
}

// X has no points: a mode matches on pixels alone (its points are pixels divided by the scale).
bool VirtualDisplayService::selectMode(std::uint32_t id, const DisplaySize& size) {
    const platform::DisplayMode wanted{size.pixels.width, size.pixels.height};
    const bool strict = size.outputPixels.has_value();
    for (int attempt = 0; attempt < kModeAttempts; ++attempt) {
        if (attempt > 0) sleep_(kModeRetryDelay);
        if (factory_.currentMode(id) == wanted) return true;
        const auto listed = factory_.modes(id);
        if (listed.empty()) continue;
        if (std::find(listed.begin(), listed.end(), wanted) == listed.end()) {
            if (!strict) break;
            continue;
        }
        if (const int result = factory_.setMode(id, wanted); result != 0) {
            log_("virtual display: set mode failed " + std::to_string(result));
        }
        if (factory_.currentMode(id) == wanted) return true;
        if (!strict) break;
    }
    const std::int64_t f = scaleOf(size);
    log_("virtual display: mode " + size.pixels.text() + "px (" + std::to_string(wanted.width / f) + "x" +
         std::to_string(wanted.height / f) + "pt) not active");
    return false;
}

void VirtualDisplayService::placeRightOfMain(std::uint32_t id) {
    const auto main = factory_.mainBounds();
    if (!main) {
        log_("virtual display: begin configuration failed");
        return;
    }
    const auto right = static_cast<std::int32_t>(main->x + main->width);
    if (const int result = factory_.place(id, right, main->y); result != 0) {
        log_("virtual display: placement failed " + std::to_string(result));
    }
}

}  // namespace orvanta::host
