// The screen source's compositing path: pictures without the blackout covers,
// built by an X11Compositor that exists only while pictures are asked for.
// Windows stay redirected while it exists, so it is dropped once a whole idle
// period passed without a picture and without a watch. While watched, a thread
// of its own reads the windows' damage, so a change wakes the stream at once and
// a still desktop costs nothing.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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
    std::expected<bool, std::string> compose(const CaptureTarget& target, const ScreenRect& area,
                                             const std::set<std::uint32_t>& excluded, std::span<std::uint8_t> out,
                                             int stride) override;
    std::unique_ptr<Watch> watch(std::function<void()> changed) override;
    bool composing() const;

private:
    class WatchHandle;

    X11CompositorFrameComposer(base::Executor& timers, std::string display, base::Micros idle);
    void checkIdle();
    void unwatch(std::uint64_t id);
    void readChanges();
    void notifyChangesLocked();
    void wakeReader() const;

    base::Executor& timers_;
    const std::string display_;
    const base::Micros idle_;
    const int wakeFd_;
    mutable std::mutex mutex_;
    std::unique_ptr<X11Compositor> compositor_;
    std::uint64_t uses_ = 0;
    std::uint64_t usesAtLastCheck_ = 0;
    base::TaskHandle idleCheck_;
    std::map<std::uint64_t, std::function<void()>> watchers_;
    std::uint64_t nextWatch_ = 0;
    bool stopping_ = false;
    std::thread reader_;  // started by the first watch
};

}  // namespace orvanta::platform::x11
