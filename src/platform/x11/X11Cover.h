// Blackout covers on X11. Without a compositing manager the covers are children of the Composite
// Overlay Window, which stays above every popup and menu; the overlay is shaped to the revealed
// covers so that nothing else is hidden. With a compositing manager (an owner of _NET_WM_CM_S<n>)
// each cover is an override-redirect window, raised again whenever a window maps or restacks
// above it. Covers have an empty input shape: injected clicks reach the desktop below. They
// belong to this connection, so the server removes them when the process dies.
#pragma once

#include <xcb/xcb.h>

#include <atomic>
#include <expected>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/BlackoutCovers.h"
#include "platform/x11/XConnection.h"

namespace orvanta::platform::x11 {

class X11BlackoutCovers final : public BlackoutCovers {
public:
    static std::expected<std::unique_ptr<X11BlackoutCovers>, std::string> open(const std::string& display = {});
    ~X11BlackoutCovers() override;

    std::vector<CoverScreen> screens() override;
    void observeScreens(std::function<void()> changed) override;
    std::optional<std::uint32_t> createCover(const DisplayBounds& frame) override;
    void moveCover(std::uint32_t id, const DisplayBounds& frame) override;
    void revealCover(std::uint32_t id) override;
    void removeCover(std::uint32_t id) override;

    // Whether the covers live in the Composite Overlay Window (no compositing manager runs).
    bool usesOverlayWindow() const;

private:
    struct Cover {
        DisplayBounds frame;
        bool revealed = false;
    };

    explicit X11BlackoutCovers(std::unique_ptr<XConnection> x);
    void readEvents();
    void reshapeOverlayLocked();
    void raiseLocked();
    bool compositingManagerRuns();

    std::unique_ptr<XConnection> x_;
    std::uint8_t randrEventBase_ = 0;
    xcb_window_t wakeWindow_ = XCB_NONE;  // the event thread's stop message arrives here

    mutable std::mutex mutex_;
    std::map<std::uint32_t, Cover> covers_;
    xcb_window_t overlay_ = XCB_NONE;  // held while covers exist and no compositing manager runs
    bool overlayMode_ = false;
    std::function<void()> changed_;

    std::atomic<bool> stopping_{false};
    std::thread events_;
};

}  // namespace orvanta::platform::x11
