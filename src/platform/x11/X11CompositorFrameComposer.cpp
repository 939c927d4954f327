#include "platform/x11/X11CompositorFrameComposer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orvanta::platform::x11 {

std::shared_ptr<X11CompositorFrameComposer> X11CompositorFrameComposer::create(base::Executor& timers,
                                                                               std::string display, base::Micros idle) {
    return std::shared_ptr<X11CompositorFrameComposer>(
        new X11CompositorFrameComposer(timers, std::move(display), idle));
}

X11CompositorFrameComposer::X11CompositorFrameComposer(base::Executor& timers, std::string display, base::Micros idle)
    : timers_(timers), display_(std::move(display)), idle_(idle) {}

X11CompositorFrameComposer::~X11CompositorFrameComposer() { idleCheck_.cancel(); }

bool X11CompositorFrameComposer::composing() const {
    std::lock_guard lock(mutex_);
    return compositor_ != nullptr;
}

void X11CompositorFrameComposer::checkIdle() {
    std::lock_guard lock(mutex_);
    if (uses_ != usesAtLastCheck_) {
        usesAtLastCheck_ = uses_;
        return;
    }
    compositor_.reset();
    idleCheck_.cancel();
}

std::expected<void, std::string> X11CompositorFrameComposer::compose(const CaptureTarget& target,
                                                                     const ScreenRect& area,
                                                                     const std::set<std::uint32_t>& excluded,
                                                                     std::span<std::uint8_t> out, int stride) {
    std::lock_guard lock(mutex_);
    if (!compositor_) {
        auto opened = X11Compositor::open(display_);
        if (!opened) return std::unexpected(opened.error());
        compositor_ = std::move(*opened);
        usesAtLastCheck_ = uses_;
        idleCheck_ = timers_.repeating(idle_, [weak = weak_from_this()] {
            if (const auto self = weak.lock()) self->checkIdle();
        });
    }
    ++uses_;
    compositor_->setExcluded(excluded);

    std::expected<ComposedImage, std::string> image;
    if (const auto* window = std::get_if<WindowTarget>(&target)) {
        image = compositor_->composeWindow(window->id);
    } else {
        image = compositor_->compose({static_cast<std::int32_t>(std::lround(area.x)),
                                      static_cast<std::int32_t>(std::lround(area.y)), std::llround(area.width),
                                      std::llround(area.height)});
    }
    if (!image) return std::unexpected(image.error());
    // The caller's buffer may be sized for a slightly different area; what does
    // not fit is left as it is.
    const std::size_t rowsThatFit = stride > 0 ? out.size() / static_cast<std::size_t>(stride) : 0;
    const int rows = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(image->height), rowsThatFit));
    const auto rowBytes = static_cast<std::size_t>(std::max(0, std::min(image->stride, stride)));
    for (int y = 0; y < rows; ++y) {
        std::memcpy(out.data() + static_cast<std::ptrdiff_t>(y) * stride,
                    image->pixels + static_cast<std::ptrdiff_t>(y) * image->stride, rowBytes);
    }
    return {};
}

}  // namespace orvanta::platform::x11
