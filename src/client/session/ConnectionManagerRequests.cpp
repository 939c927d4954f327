// What the connection manager sends: the ordered control sending of the current attempt, and every
// request and input message the client makes.
#include "client/session/ConnectionManager.h"

#include <algorithm>
#include <utility>

#include "base/Base64.h"
#include "client/session/ControlSendChain.h"

namespace orvanta::client {
namespace {

using protocol::ControlMessage;
using State = ConnectionManager::State;

}  // namespace

void ConnectionManager::enqueueControl(ControlMessage message, const Generation& generation) {
    if (generation != generation_ || !control_) return;
    if (!sendTail_) {
        std::weak_ptr<ConnectionManager> weak = weak_from_this();
        sendTail_ = ControlSendChain::create(main_, control_);
        // A torn-down attempt's key releases may still leave while it drains.
        sendTail_->allows = [weak](const Generation& messageGeneration) {
            auto self = weak.lock();
            return self &&
                   (messageGeneration == self->generation_ || self->drainingKeySessions_.contains(messageGeneration));
        };
        sendTail_->onFailure = [weak](std::string failure, const Generation& messageGeneration) {
            if (auto self = weak.lock()) self->transportFailed(failure, messageGeneration);
        };
    }
    sendTail_->enqueue(std::move(message), generation);
}

void ConnectionManager::queuePointerCancel() {
    protocol::PointerInput cancel;
    cancel.seq = nextInputSeq();
    cancel.action = "cancel";
    enqueueControl(std::move(cancel), generation_);
}

std::uint32_t ConnectionManager::followingInputSeq(std::uint32_t last) {
    auto next = static_cast<std::uint32_t>(last + 1);
    return next <= 1 ? 1 : next;
}

std::uint32_t ConnectionManager::nextInputSeq() {
    inputSeq_ = followingInputSeq(inputSeq_);
    return inputSeq_;
}

void ConnectionManager::sendRequestKeyframe() {
    if (welcomed_) enqueueControl(protocol::RequestKeyframe{}, generation_);
}

void ConnectionManager::sendPointer(std::string action, std::optional<double> x, std::optional<double> y,
                                    std::optional<double> dx, std::optional<double> dy,
                                    std::optional<std::int64_t> clickState) {
    if (!inputAllowed()) return;
    protocol::PointerInput pointer;
    pointer.seq = nextInputSeq();
    pointer.action = std::move(action);
    pointer.x = x;
    pointer.y = y;
    pointer.dx = dx;
    pointer.dy = dy;
    pointer.clickState = clickState;
    enqueueControl(std::move(pointer), generation_);
}

void ConnectionManager::sendKey(std::string name, bool command, bool control, bool option, bool shift,
                                std::optional<protocol::KeyInput::Phase> phase) {
    if (!inputAllowed()) return;
    if (phase) usedKeyPhases_ = true;
    enqueueControl(protocol::KeyInput{nextInputSeq(), std::move(name), command, control, option, shift, phase},
                   generation_);
}

bool ConnectionManager::sendText(std::string text) {
    if (!inputAllowed() || !control_ || text.empty()) return false;
    enqueueControl(protocol::TextInput{nextInputSeq(), std::move(text)}, generation_);
    return true;
}

void ConnectionManager::releaseHeldKeys() {
    if (!takeHeldKeyNames) return;
    for (auto& name : takeHeldKeyNames()) {
        if (!inputAllowed()) continue;
        usedKeyPhases_ = true;
        enqueueControl(protocol::KeyInput{nextInputSeq(), std::move(name), false, false, false, false,
                                          protocol::KeyInput::Phase::up},
                       generation_);
    }
}

void ConnectionManager::releaseInput() {
    releaseHeldKeys();
    if (inputAllowed()) queuePointerCancel();
}

bool ConnectionManager::sendUnlock(std::string password) {
    if (!canSendUnlock() || !welcomed_ || state_ != State::locked) return false;
    if (!protocol::UnlockRequest::isAcceptable(password)) return false;
    publish(lockMessage_, std::optional<std::string>());
    enqueueControl(protocol::UnlockRequest{std::move(password)}, generation_);
    return true;
}

void ConnectionManager::takeOver() {
    if (state_ == State::busy) enqueueControl(protocol::TakeOver{}, generation_);
}

void ConnectionManager::joinAsController() {
    if (state_ == State::busy && !viewOnly_) enqueueControl(protocol::JoinController{}, generation_);
}

void ConnectionManager::promoteToMain() {
    if (state_ != State::controller) return;
    takeoverOnBusy_ = true;
    wantsConnection_ = true;
    startConnection(false);
}

// The host measures the fitted window against the pixel viewport it gets everywhere else; a size
// in points would fit the window at a fraction of the view on a high-density screen.
void ConnectionManager::setWindowFit(bool on) {
    if (!welcomedOrController() || !fitRequestsAllowed()) return;
    if (!on) return enqueueControl(protocol::UnfitWindow{}, generation_);
    auto size = pixelViewport();
    enqueueControl(protocol::FitWindowRequest{size.width, size.height}, generation_);
}

void ConnectionManager::fitWindow(const protocol::WindowListEntry& entry) {
    if (!welcomedOrController() || !fitRequestsAllowed()) return;
    auto size = pixelViewport();
    enqueueControl(protocol::FitWindowTarget{entry.windowId, size.width, size.height}, generation_);
}

void ConnectionManager::setDisplayAspectFit(bool active) {
    if (welcomed_) sendDisplayAspectFit(active, false);
}

void ConnectionManager::displayAspectScaleDidChange() {
    if (welcomed_) sendDisplayAspectFit(displayAspectFitProvider ? displayAspectFitProvider() : false, false);
}

void ConnectionManager::sendDisplayAspectFit(bool active, bool force) {
    if (viewOnly_ || !fitRequestsAllowed()) return;
    auto size = pixelViewport();
    double scale = clampedDisplayAspectScale(displayAspectScaleProvider ? displayAspectScaleProvider() : 1.0);
    protocol::DisplayAspectFitRequest request{active, size.width, size.height, scale};
    if (!force && lastDisplayAspectFitSent_ == request) return;
    lastDisplayAspectFitSent_ = request;
    if (!hostLocked_) lastViewportSent_ = size;
    enqueueControl(request, generation_);
}

void ConnectionManager::viewportDidChange() {
    if (!welcomed_) return;
    if (displayAspectFitProvider && displayAspectFitProvider()) return sendDisplayAspectFit(true, false);
    sendViewportUpdate(false);
}

void ConnectionManager::sendViewportUpdate(bool force) {
    if (!welcomed_) return;
    auto metrics = viewport();
    if (!(metrics.bounds.width > 0) || !(metrics.bounds.height > 0)) return;
    auto size = pixelViewport();
    if (!force && lastViewportSent_ == size) return;
    lastViewportSent_ = size;
    enqueueControl(protocol::ViewportUpdate{size.width, size.height}, generation_);
}

void ConnectionManager::sendClipboardText(std::string text) {
    if (viewOnly_ || !welcomedOrController() || text.size() > protocol::ClipboardText::maxBytes) return;
    enqueueControl(protocol::ClipboardText{std::move(text)}, generation_);
}

void ConnectionManager::sendClipboardImage(base::ByteView png) {
    if (viewOnly_ || !welcomedOrController()) return;
    if (png.empty() || png.size() > protocol::ClipboardImage::maxBytes) return;
    enqueueControl(protocol::ClipboardImage{base::base64Encode(png)}, generation_);
}

void ConnectionManager::requestWindowList() {
    if (!welcomedOrController()) return;
    beginWindowListRequest(kWindowListTimeout);
    publish(appList_, std::vector<protocol::AppListEntry>());
    enqueueControl(protocol::WindowListRequest{}, generation_);
    enqueueControl(protocol::AppListRequest{}, generation_);
}

void ConnectionManager::beginWindowListRequest(base::Micros timeout) {
    windowListTimeout_.cancel();
    publish(windowList_, std::vector<protocol::WindowListEntry>());
    publish(windowListState_, WindowListState::loading);
    windowListTimeout_ = main_.asyncAfter(timeout, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->publish(self->windowListState_, WindowListState::failed);
    });
}

void ConnectionManager::receiveWindowList(protocol::WindowList list) {
    windowListTimeout_.cancel();
    windowListTimeout_ = {};
    publish(windowList_, std::move(list.entries));
    if (list.appIcons) publish(windowAppIcons_, std::move(*list.appIcons));
    publish(windowListState_, WindowListState::loaded);
}

bool ConnectionManager::launchApp(const protocol::AppListEntry& entry) {
    if (!welcomedOrController() || !fitRequestsAllowed() || entry.running) return false;
    if (std::ranges::find(appList_, entry) == appList_.end()) return false;
    publish(inputNotice_, std::optional<std::string>());
    enqueueControl(protocol::LaunchAppRequest{entry.bundleId}, generation_);
    return true;
}

void ConnectionManager::reportDecodeError() {
    if (!welcomed_) return;
    setState(State::decodeError);
    if (assembler_) assembler_->flush();
    if (!welcomed_) return;
    enqueueControl(protocol::RequestKeyframe{}, generation_);
}

}  // namespace orvanta::client
