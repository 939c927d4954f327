// The model's presentation side: what the host is told of the video area, what happens when the
// client side appears or goes, and where the video surface's input goes.
#include <cmath>

#include "base/NumberText.h"
#include "client/viewer/ClientModel.h"

namespace orvanta::client {
namespace {

constexpr double kDefaultScale = 2;
constexpr double kStatusBarHeight = 36;
constexpr double kMinWindowVideoHeight = 100;
constexpr double kDefaultWidth = 1280;
constexpr double kPresentedDefaultHeight = 684;
constexpr double kHiddenDefaultHeight = 732;

bool hasArea(const ViewportMetrics& metrics) { return metrics.bounds.width > 0 && metrics.bounds.height > 0; }

}  // namespace

ViewportMetrics ClientModel::fallbackViewport(double height) const {
    const auto scale = platform_.mainScreenScale ? platform_.mainScreenScale() : std::nullopt;
    return {{0, 0, kDefaultWidth, height}, scale.value_or(kDefaultScale)};
}

ViewportMetrics ClientModel::presentedViewport() const {
    if (const auto surface = surface_.lock()) {
        if (auto metrics = surface->metrics()) return *metrics;
    }
    if (const auto window = window_.lock()) {
        if (const auto metrics = window->metrics()) {
            const double height = std::max(metrics->bounds.height - kStatusBarHeight, kMinWindowVideoHeight);
            return {{0, 0, metrics->bounds.width, height}, metrics->scale};
        }
    }
    return fallbackViewport(kPresentedDefaultHeight);
}

ViewportMetrics ClientModel::currentViewport() {
    if (isPresented_ && !showingConnectScreen_()) {
        lastPresentedViewport_ = presentedViewport();
        return *lastPresentedViewport_;
    }
    return lastPresentedViewport_.value_or(fallbackViewport(kHiddenDefaultHeight));
}

void ClientModel::surfaceGeometryChanged(const std::shared_ptr<const MeasuredView>& view, bool force) {
    if (!view || !isPresented_ || showingConnectScreen_() || !isInputState(connection_->state())) return;
    const auto metrics = view->metrics();
    if (!metrics || !hasArea(*metrics)) return;
    forceNextViewport_ = forceNextViewport_ || force;
    surface_ = view;
    viewportDebounce_.cancel();
    viewportDebounce_ = platform_.main.asyncAfter(kViewportDebounce, [weak = weak_from_this(), target = surface_] {
        auto self = weak.lock();
        if (!self || !self->isPresented_ || self->showingConnectScreen_()) return;
        if (!isInputState(self->connection_->state())) return;
        const auto surface = self->surface_.lock();
        if (!surface || surface != target.lock()) return;
        if (self->debug_->isActive()) {
            if (const auto settled = surface->metrics()) {
                const double width = settled->bounds.width;
                const double height = settled->bounds.height;
                const double scale = settled->scale;
                self->log("viewport: settled " + std::to_string(std::llround(std::trunc(width))) + "x" +
                          std::to_string(std::llround(std::trunc(height))) + "pt x" + base::decimalText(scale) +
                          " -> " + std::to_string(std::llround(width * scale)) + "x" +
                          std::to_string(std::llround(height * scale)) + "px");
            }
        }
        self->connection_->sendViewportUpdate(self->forceNextViewport_);
        self->forceNextViewport_ = false;
    });
}

void ClientModel::clientSideDidShow() {
    if (!isLive(connection_->state())) return;
    platform_.main.async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || !self->isPresented_ || self->showingConnectScreen_()) return;
        const State state = self->connection_->state();
        if (!isInputState(state)) return;
        self->connection_->sendRequestKeyframe();
        self->log("side: client again, keyframe requested (state " + std::string(ConnectionManager::rawValue(state)) +
                  ")");
    });
}

void ClientModel::clientSideWillHide() {
    viewportDebounce_.cancel();
    viewportDebounce_ = {};
    if (const auto surface = surface_.lock()) {
        if (const auto metrics = surface->metrics(); metrics && hasArea(*metrics)) lastPresentedViewport_ = *metrics;
    }
    surface_.reset();
    connection_->releaseInput();
}

void ClientModel::handle(const SurfaceInput& input) {
    // Modifier presses are counted even while input is dropped, so the flags follow the keyboard.
    std::optional<KeyEvent> key;
    if (const auto* surfaceKey = std::get_if<SurfaceKey>(&input)) {
        key = keyboard_.translate(*surfaceKey);
        if (!key) return;
    }
    if (!isPresented_ || showingConnectScreen_() || !isInputState(connection_->state()) || localInputSuspended_) return;
    if (const auto* pointer = std::get_if<SurfacePointer>(&input)) {
        const auto& point = pointer->point;
        connection_->sendPointer(pointer->action, point ? std::optional(point->x) : std::nullopt,
                                 point ? std::optional(point->y) : std::nullopt, pointer->dx, pointer->dy);
        return;
    }
    routeKey(*key);
}

void ClientModel::routeKey(const KeyEvent& event) {
    using Phase = protocol::KeyInput::Phase;
    if (gameKeyboard_()) {
        if (!connection_->keyboardInputGeneration() || connection_->state() == State::locked) return;
        std::optional<GameKeys::Change> change;
        switch (event.type) {
            case KeyEvent::Type::keyDown:
                if (auto name = gameKeys_.down(event.keyCode, event.isRepeat)) change = {std::move(*name), Phase::down};
                break;
            case KeyEvent::Type::keyUp:
                if (auto name = gameKeys_.up(event.keyCode)) change = {std::move(*name), Phase::up};
                break;
            case KeyEvent::Type::flagsChanged:
                change = gameKeys_.flagsChanged(event.keyCode, event.flags);
                break;
        }
        if (change) {
            connection_->sendKey(change->name, event.command(), event.control(), event.option(), event.shift(),
                                 change->phase);
        }
        return;
    }
    if (event.type != KeyEvent::Type::keyDown) return;
    const auto output = KeyMapping::map(event.keyCode, event.flags, event.characters);
    if (!output) return;
    if (const auto* text = std::get_if<KeyMapping::Text>(&*output)) {
        connection_->sendText(text->text);
        return;
    }
    const auto& named = std::get<KeyMapping::NamedKey>(*output);
    connection_->sendKey(named.name, named.command, named.control, named.option, named.shift);
}

}  // namespace orvanta::client
