#include "client/ui/UnifiedWindowState.h"

#include <algorithm>
#include <cmath>

namespace orvanta::client {
namespace {

using State = ConnectionManager::State;

Size chromeOf(const AppWindow& window) {
    const platform::Rect frame = window.frame();
    const Size content = window.contentSize();
    return {std::max(frame.width - content.width, 0.0), std::max(frame.height - content.height, 0.0)};
}

}  // namespace

std::shared_ptr<UnifiedWindowState> UnifiedWindowState::create(base::Executor& main, std::weak_ptr<ClientModel> model,
                                                               std::shared_ptr<DebugHandoff> debug) {
    return std::make_shared<UnifiedWindowState>(Passkey{}, main, std::move(model), std::move(debug));
}

UnifiedWindowState::UnifiedWindowState(Passkey, base::Executor& main, std::weak_ptr<ClientModel> model,
                                       std::shared_ptr<DebugHandoff> debug)
    : main_(main), model_(std::move(model)), debug_(debug ? std::move(debug) : std::make_shared<DebugHandoff>()) {}

UnifiedWindowState::~UnifiedWindowState() {
    normalFrameDebounce_.cancel();
    if (auto window = window_.lock()) stopObserving(*window);
}

template <class F>
void UnifiedWindowState::nextTurn(F fn) {
    main_.async([weak = weak_from_this(), fn = std::move(fn)] {
        if (auto self = weak.lock()) fn(*self);
    });
}

void UnifiedWindowState::log(const std::string& line) const { debug_->log(line); }

// ---------------------------------------------------------------------------------------------
// Sides and settings

void UnifiedWindowState::show(WindowSide side) {
    if (side == side_()) return setSettingsVisible(false);
    endImmersiveSession();
    if (showingSettings_()) restoreFrameAfterSettings();

    const WindowSide leaving = side_();
    const auto window = window_.lock();
    bool fullScreen = false;
    Size chrome;
    Point keep;
    if (window) {
        fullScreen = window->isFullScreen();
        chrome = chromeOf(*window);
        const platform::Rect current = window->frame();
        keep = topLeft(current);
        if (!fullScreen) {
            const bool zoomed = window->isZoomed();
            const std::optional<platform::Rect> source =
                zoomed ? lastNormalFrame_ : std::optional<platform::Rect>(current);
            memory_.leave(leaving, source ? std::optional<Size>(sizeOf(*source)) : std::nullopt, zoomed);
            if (source) keep = topLeft(*source);
        }
    }
    clearNormalFrame();

    showingSettings_.assign(false);
    side_.assign(side);

    const auto model = model_.lock();
    if (model) {
        if (side == WindowSide::client && !model->isPresented()) {
            model->setPresented(true);
            model->clientSideDidShow();
        } else if (side == WindowSide::host && model->isPresented()) {
            model->clientSideWillHide();
            model->setPresented(false);
        }
    }
    const State state = model ? model->connection().state() : State::disconnected;
    log("side: " + std::string(rawValue(side)) + " (session " + std::string(ConnectionManager::rawValue(state)) + ")" +
        (fullScreen ? " full screen" : ""));

    if (fullScreen) return;
    if (!window) {
        sizePendingForAttach_ = true;
        return;
    }
    applyFrame(side, keep, chrome);
}

void UnifiedWindowState::setSettingsVisible(bool visible) {
    if (visible == showingSettings_()) return;
    if (visible) {
        endImmersiveSession();
    } else {
        restoreFrameAfterSettings();
    }
    showingSettings_.assign(visible);
    if (side_() != WindowSide::client) return;
    const auto model = model_.lock();
    if (!model || model->isPresented() == !visible) return;
    if (!visible) {
        model->setPresented(true);
        model->clientSideDidShow();
    } else {
        model->clientSideWillHide();
        model->setPresented(false);
    }
}

// ---------------------------------------------------------------------------------------------
// Immersion and focus

void UnifiedWindowState::toggleFullScreen() {
    if (enteringFullScreen_ || exitingFullScreen_) return;
    if (auto window = window_.lock()) window->toggleFullScreen();
}

void UnifiedWindowState::videoBecameAvailable(bool autoEnter) {
    const auto window = window_.lock();
    if (side_() != WindowSide::client || showingSettings_() || !window || exitingFullScreen_) return;
    if (window->isFullScreen() || enteringFullScreen_) {
        immersive_.assign(true);
    } else if (autoEnter) {
        window->toggleFullScreen();
    }
}

void UnifiedWindowState::endImmersiveSession() {
    if (!immersive_()) return;
    if (enteringFullScreen_) {
        exitAfterEntry_ = true;
        return;
    }
    if (exitingFullScreen_) return;
    if (auto window = window_.lock()) window->toggleFullScreen();
}

void UnifiedWindowState::willEnterFullScreen() {
    enteringFullScreen_ = true;
    const auto model = model_.lock();
    bool immersive = false;
    if (model && side_() == WindowSide::client && !showingSettings_()) {
        const State state = model->connection().state();
        immersive = (state == State::connected || state == State::controller) && model->receivedFrame()() &&
                    !model->showingConnectScreen()();
    }
    immersive_.assign(immersive);
}

void UnifiedWindowState::willExitFullScreen() { exitingFullScreen_ = true; }

void UnifiedWindowState::didEnterFullScreen() {
    enteringFullScreen_ = false;
    updateFullScreen();
    if (immersive_() && !exitAfterEntry_) {
        const auto window = window_.lock();
        const auto model = model_.lock();
        if (window && model) {
            if (auto surface = window->videoSurface()) {
                window->focusVideoSurface();
                model->surfaceGeometryChanged(surface, true);
            }
        }
    }
    if (exitAfterEntry_) {
        exitAfterEntry_ = false;
        nextTurn([](UnifiedWindowState& self) { self.endImmersiveSession(); });
    }
}

void UnifiedWindowState::didExitFullScreen() {
    exitingFullScreen_ = false;
    if (immersive_()) {
        const auto window = window_.lock();
        const auto model = model_.lock();
        if (window && model) {
            if (auto surface = window->videoSurface()) model->surfaceGeometryChanged(surface, true);
        }
    }
    immersive_.assign(false);
    updateFullScreen();
    if (settingsHeight_) fitSettings(*settingsHeight_);
    if (focusNavigationAfterExit_) {
        focusNavigationAfterExit_ = false;
        nextTurn([](UnifiedWindowState& self) { self.incrementNavigationRequest(); });
    }
}

void UnifiedWindowState::focusNavigation() {
    if (auto model = model_.lock()) model->connection().releaseInput();
    if (!immersive_()) return incrementNavigationRequest();
    focusNavigationAfterExit_ = true;
    endImmersiveSession();
}

void UnifiedWindowState::incrementNavigationRequest() { navigationRequest_.assign(navigationRequest_() + 1); }

bool UnifiedWindowState::bringToFront() {
    const auto window = window_.lock();
    if (!window || (!window->isVisible() && !window->isMiniaturized())) return false;
    if (window->isMiniaturized()) window->deminiaturize();
    window->activate();
    return true;
}

bool UnifiedWindowState::hasVisibleWindow() const {
    const auto window = window_.lock();
    return window && window->isVisible();
}

void UnifiedWindowState::updateFullScreen() {
    const auto window = window_.lock();
    isFullScreen_.assign(window && window->isFullScreen());
}

// ---------------------------------------------------------------------------------------------
// Adoption and closing

void UnifiedWindowState::attach(const std::shared_ptr<AppWindow>& window) {
    const auto current = window_.lock();
    if (!window || window == current) return;
    if (current) stopObserving(*current);
    window_ = window;
    observe(*window);
    updateFullScreen();
    if (settingsHeight_) fitSettings(*settingsHeight_);
    windowDidResize();
    if (sizePendingForAttach_) {
        sizePendingForAttach_ = false;
        applyFrame(side_(), topLeft(window->frame()), chromeOf(*window));
    }
}

void UnifiedWindowState::observe(AppWindow& window) {
    const std::weak_ptr<UnifiedWindowState> weak = weak_from_this();
    const auto on = [weak](void (UnifiedWindowState::*handler)()) {
        return [weak, handler] {
            if (auto self = weak.lock()) ((*self).*handler)();
        };
    };
    window.onWillClose = on(&UnifiedWindowState::windowWillClose);
    window.onResizeOrMove = on(&UnifiedWindowState::windowDidResize);
    window.onWillEnterFullScreen = on(&UnifiedWindowState::willEnterFullScreen);
    window.onDidEnterFullScreen = on(&UnifiedWindowState::didEnterFullScreen);
    window.onWillExitFullScreen = on(&UnifiedWindowState::willExitFullScreen);
    window.onDidExitFullScreen = on(&UnifiedWindowState::didExitFullScreen);
}

void UnifiedWindowState::stopObserving(AppWindow& window) {
    window.onWillClose = nullptr;
    window.onResizeOrMove = nullptr;
    window.onWillEnterFullScreen = nullptr;
    window.onDidEnterFullScreen = nullptr;
    window.onWillExitFullScreen = nullptr;
    window.onDidExitFullScreen = nullptr;
}

void UnifiedWindowState::windowWillClose() {
    if (auto window = window_.lock()) stopObserving(*window);
    clearNormalFrame();

    immersive_.assign(false);
    enteringFullScreen_ = false;
    exitingFullScreen_ = false;
    exitAfterEntry_ = false;
    focusNavigationAfterExit_ = false;
    window_.reset();
    settingsFrames_.reset();
    settingsHeight_.reset();
    updateFullScreen();

    if (const auto model = model_.lock()) {
        if (ClientModel::isLive(model->connection().state())) model->connection().disconnect();
        model->setShowingConnectScreen(false);
        if (model->isPresented()) {
            model->clientSideWillHide();
            model->setPresented(false);
        }
    }
    showingSettings_.assign(false);
    side_.assign(WindowSide::host);
    log("window closed: session disconnected, host keeps listening");
}

// ---------------------------------------------------------------------------------------------
// Frames

void UnifiedWindowState::clearNormalFrame() {
    lastNormalFrame_.reset();
    normalFrameDebounce_.cancel();
}

void UnifiedWindowState::applyFrame(WindowSide side, Point topLeftToKeep, Size chrome) {
    const bool zoomed = memory_.zoomedSides.contains(side);
    nextTurn([side, topLeftToKeep, chrome, zoomed](UnifiedWindowState& self) {
        const auto window = self.window_.lock();
        if (self.side_() != side || !window || window->isFullScreen()) return;
        const Size size = self.memory_.targetFrameSize(side, chrome, kHostMinimumContentSize, kHostDefaultContentSize)
                              .value_or(sizeOf(window->frame()));
        const platform::Rect frame = SideFrameMemory::placedFrame(size, topLeftToKeep, window->screenVisibleFrame());
        if (frame != window->frame()) window->setFrame(frame);
        self.lastNormalFrame_ = window->frame();
        if (zoomed && !window->isZoomed()) window->zoom();
        if (self.settingsHeight_) {
            self.settingsFrames_.reset();
            self.fitSettings(*self.settingsHeight_);
        }
    });
}

void UnifiedWindowState::windowDidResize() {
    normalFrameDebounce_.cancel();
    normalFrameDebounce_ = main_.asyncAfter(kNormalFrameSettle, [weak = weak_from_this()] {
        const auto self = weak.lock();
        if (!self || self->showingSettings_()) return;
        const auto window = self->window_.lock();
        if (!window || window->isFullScreen() || window->isZoomed()) return;
        self->lastNormalFrame_ = window->frame();
    });
}

void UnifiedWindowState::fitSettings(double height) {
    if (!showingSettings_() || !(height > 0)) return;
    settingsHeight_ = height;
    const auto window = window_.lock();
    if (!window) return;
    const auto visible = window->screenVisibleFrame();
    if (!visible || window->isFullScreen()) return;
    const platform::Rect current = window->frame();
    if (window->isZoomed() && !(settingsFrames_ && settingsFrames_->fitted == current)) return;
    if (enteringFullScreen_ || exitingFullScreen_) return;

    const Size chrome = chromeOf(*window);
    const Size wanted{current.width, std::ceil(height + kSettingsAllowance + chrome.height)};
    const platform::Rect target = SideFrameMemory::placedFrame(wanted, topLeft(current), visible);
    if (target == current) return;

    platform::Rect before = current;
    if (settingsFrames_) {
        const auto& earlier = *settingsFrames_;
        before.height = earlier.before.height;
        before.x = current.x == earlier.fitted.x ? earlier.before.x : current.x;
        before.y = current.y == earlier.fitted.y ? earlier.before.y : current.y;
    }
    settingsFrames_ = SettingsFrames{before, target};
    lastNormalFrame_ = before;
    window->setFrame(target);
}

void UnifiedWindowState::restoreFrameAfterSettings() {
    const auto window = window_.lock();
    if (settingsFrames_ && window && !window->isFullScreen() &&
        !(window->isZoomed() && window->frame() != settingsFrames_->fitted)) {
        const auto& [before, fitted] = *settingsFrames_;
        const platform::Rect current = window->frame();
        const Point keep{current.x == fitted.x ? before.x : current.x, current.y == fitted.y ? before.y : current.y};
        window->setFrame(
            SideFrameMemory::placedFrame({current.width, before.height}, keep, window->screenVisibleFrame()));
        lastNormalFrame_ = window->frame();
    }
    settingsFrames_.reset();
    settingsHeight_.reset();
}

}  // namespace orvanta::client
