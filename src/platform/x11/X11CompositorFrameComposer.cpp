#include "platform/x11/X11CompositorFrameComposer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orvanta::platform::x11 {

class X11CompositorFrameComposer::WatchHandle final : public Watch {
public:
    WatchHandle(std::weak_ptr<X11CompositorFrameComposer> composer, std::uint64_t id)
        : composer_(std::move(composer)), id_(id) {}
    ~WatchHandle() override {
        if (const auto composer = composer_.lock()) composer->unwatch(id_);
    }

private:
    std::weak_ptr<X11CompositorFrameComposer> composer_;
    std::uint64_t id_;
};

std::shared_ptr<X11CompositorFrameComposer> X11CompositorFrameComposer::create(base::Executor& timers,
                                                                               std::string display, base::Micros idle) {
    return std::shared_ptr<X11CompositorFrameComposer>(
        new X11CompositorFrameComposer(timers, std::move(display), idle));
}

X11CompositorFrameComposer::X11CompositorFrameComposer(base::Executor& timers, std::string display, base::Micros idle)
    : timers_(timers), display_(std::move(display)), idle_(idle), wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

X11CompositorFrameComposer::~X11CompositorFrameComposer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wakeReader();
    if (reader_.joinable()) reader_.join();
    idleCheck_.cancel();
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool X11CompositorFrameComposer::composing() const {
    std::lock_guard lock(mutex_);
    return compositor_ != nullptr;
}

void X11CompositorFrameComposer::checkIdle() {
    std::lock_guard lock(mutex_);
    if (uses_ != usesAtLastCheck_ || !watchers_.empty()) {
        usesAtLastCheck_ = uses_;
        return;
    }
    compositor_.reset();
    idleCheck_.cancel();
    wakeReader();  // it may still wait on the connection just closed
}

void X11CompositorFrameComposer::wakeReader() const {
    if (wakeFd_ < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
}

std::unique_ptr<FrameComposer::Watch> X11CompositorFrameComposer::watch(std::function<void()> changed) {
    std::lock_guard lock(mutex_);
    const std::uint64_t id = ++nextWatch_;
    watchers_.emplace(id, std::move(changed));
    if (!reader_.joinable() && wakeFd_ >= 0) reader_ = std::thread([this] { readChanges(); });
    wakeReader();
    return std::make_unique<WatchHandle>(weak_from_this(), id);
}

void X11CompositorFrameComposer::unwatch(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    watchers_.erase(id);
    wakeReader();  // it may stop waiting on the compositor, which may then go
}

// The reader thread: waits on the compositor's connection while anyone watches, else only for a
// wake-up.
void X11CompositorFrameComposer::readChanges() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        // The descriptor may be closed and its number reused meanwhile: poll only wakes this loop,
        // which reads nothing from it.
        const int fd = compositor_ && !watchers_.empty() ? compositor_->descriptor() : -1;
        lock.unlock();
        pollfd fds[] = {{wakeFd_, POLLIN, 0}, {fd, POLLIN, 0}};
        ::poll(fds, fd >= 0 ? 2 : 1, -1);
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] auto read = ::read(wakeFd_, &count, sizeof count);
        }
        lock.lock();
        if (compositor_ && !watchers_.empty()) notifyChangesLocked();
    }
}

// The watchers only wake their streams, so they are called under the lock: none is called once
// its watch is gone. A lost connection is news too: the next picture tells why.
void X11CompositorFrameComposer::notifyChangesLocked() {
    const bool changed = compositor_->takeChanges();
    const bool lost = compositor_->connectionLost();
    if (lost) compositor_.reset();
    if (!changed && !lost) return;
    for (const auto& [id, notify] : watchers_) notify();
}

std::expected<bool, std::string> X11CompositorFrameComposer::compose(const CaptureTarget& target,
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
        wakeReader();  // a watched compositor's connection is read from now on
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
    // Replies read while composing may have brought events along, which the reader would not
    // see arrive.
    if (!watchers_.empty()) notifyChangesLocked();
    return image->changed;
}

}  // namespace orvanta::platform::x11
