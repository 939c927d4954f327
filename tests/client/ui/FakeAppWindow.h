// A window whose frame, zoom and full-screen transitions a test plays step by step, recording
// what the window state asked of it. Top-left coordinates.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "client/ui/AppWindow.h"
#include "client/viewer/ClientModelSupport.h"

namespace orvanta::testing {

using client::Size;

class FakeAppWindow final : public client::AppWindow {
public:
    static constexpr Size kChrome{0, 28};

    platform::Rect frame() const override { return frame_; }
    Size contentSize() const override { return {frame_.width - kChrome.width, frame_.height - kChrome.height}; }
    std::optional<platform::Rect> screenVisibleFrame() const override { return visible; }
    void setFrame(const platform::Rect& frame) override {
        frame_ = frame;
        calls.push_back("setFrame");
    }
    bool isVisible() const override { return shown && !minimized; }
    bool isMiniaturized() const override { return minimized; }
    bool isZoomed() const override { return zoomed; }
    bool isFullScreen() const override { return fullScreen; }
    void zoom() override {
        zoomed = true;
        frame_ = *visible;
        calls.push_back("zoom");
    }
    void toggleFullScreen() override { calls.push_back("toggleFullScreen"); }
    void deminiaturize() override {
        minimized = false;
        calls.push_back("deminiaturize");
    }
    void activate() override { calls.push_back("activate"); }
    std::shared_ptr<const client::MeasuredView> videoSurface() const override { return surface; }
    void focusVideoSurface() override { calls.push_back("focusVideo"); }

    void userMoves(platform::Rect frame) {
        frame_ = frame;
        if (onResizeOrMove) onResizeOrMove();
    }
    void enterFullScreen() {
        beginEntering();
        finishEntering();
    }
    void beginEntering() {
        if (onWillEnterFullScreen) onWillEnterFullScreen();
    }
    void finishEntering() {
        fullScreen = true;
        if (onDidEnterFullScreen) onDidEnterFullScreen();
    }
    void exitFullScreen() {
        if (onWillExitFullScreen) onWillExitFullScreen();
        fullScreen = false;
        if (onDidExitFullScreen) onDidExitFullScreen();
    }
    void close() {
        shown = false;
        if (onWillClose) onWillClose();
    }
    std::vector<std::string> takeCalls() { return std::exchange(calls, {}); }

    std::optional<platform::Rect> visible = platform::Rect{0, 25, 1440, 875};
    bool shown = true;
    bool minimized = false;
    bool zoomed = false;
    bool fullScreen = false;
    std::shared_ptr<FakeView> surface;
    std::vector<std::string> calls;

private:
    platform::Rect frame_{100, 60, 760, 548};
};

}  // namespace orvanta::testing
