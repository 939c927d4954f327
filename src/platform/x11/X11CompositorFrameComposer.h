// The screen source's compositing path: pictures without the blackout covers,
// built by an X11Compositor that exists only while pictures are asked for.
// Windows stay redirected while it exists, so it is dropped once a whole idle
// period passed without a picture.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "base/Executor.h"
#include "platform/ScreenSource.h"
#include "platform/x11/X11Compositor.h"

namespace orvanta::platform::x11 {

class X11CompositorFrameComposer final : public FrameComposer,
                                         public std::enable_shared_from_this<X11CompositorFrameComposer> {
public:
    // `timers` runs the idle check; it must outlive this object.
    static std::shared_ptr<X11CompositorFrameComposer> create(base::Executor& timers, std::string display = {},
                                                              base::Micros idle = std::chrono::seconds(2));
    ~X11CompositorFrameComposer() override;

    // Any thread; calls are serialised.
    std::expected<void, std::string> compose(const CaptureTarget& target, const ScreenRect& area,
                                             const std::set<std::uint32_t>& excluded, std::span<std::uint8_t> out,
                                             int stride) override;
    bool composing() const;

private:
    X11CompositorFrameComposer(base::Executor& timers, std::string display, base::Micros idle);
    void checkIdle();

    base::Executor& timers_;
    const std::string display_;
    const base::Micros idle_;
    mutable std::mutex mutex_;
    std::unique_ptr<X11Compositor> compositor_;
    std::uint64_t uses_ = 0;
    std::uint64_t usesAtLastCheck_ = 0;
    base::TaskHandle idleCheck_;
};

}  // namespace orvanta::platform::x11
