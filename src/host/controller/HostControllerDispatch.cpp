// The coordinator's side of the message dispatch: its construction and what its neighbours reach
// across the host.
#include <algorithm>

#include "host/controller/HostController.h"

namespace orvanta::host {

namespace {

constexpr std::string_view kDebugInputVariable = "ZQ2_DEBUG_INPUT";

}  // namespace

// The dispatch lives as long as the controller, so its callbacks reach the controller directly.
void HostController::wireDispatch() {
    dispatch_ = std::make_unique<MessageDispatch>(clock_, input_, environment(kDebugInputVariable) == "1");
    dispatch_->setNeighbours({
        .session = [this] { return session_; },
        .paused = [this] { return paused_; },
        .hello = [this](const std::shared_ptr<Session>& session,
                        const protocol::Hello& hello) { handleSessionHello(session, hello); },
        .unlock = [this](const std::string& password) { pause_->unlock(password); },
        .pointerReady = [this] { return windowPointerState_ == WindowPointerState::ready; },
        .inputAge = [this](std::uint64_t micros) { maxInputAge_ = std::max(maxInputAge_, micros); },
        .ackReceived = [this](std::uint16_t gen, std::uint32_t seq) { return sender_->ackReceived(gen, seq); },
        .firstFrameShown = [this](std::uint16_t gen) { firstFrameShown(gen); },
        .setBaseRTT = [this](std::uint64_t micros) { sender_->setBaseRTTMicros(micros); },
        .forceKeyframe = [this] { forceKeyframe(); },
        .refreshAudio = [this] { refreshAudio(); },
        .aspectFit = [this](const protocol::DisplayAspectFitRequest& request,
                            Session& session) { applyClientAspectFit(request, session); },
        .viewportUpdate = [this](const protocol::ViewportUpdate& update,
                                 Session& session) { applyViewportUpdate(update, session); },
        .fitFrontmost = [this](const protocol::FitWindowRequest& request) { return fitFrontmostWindow(request); },
        .fitTarget = [this](const protocol::FitWindowTarget& target) { applyWindowFitTarget(target); },
        .unfit = [this] { clearWindowFit(true, true); },
        .sendNoWindowState = [this] { sendWindowState(false, std::nullopt); },
        .clipboardText = [this](const protocol::ClipboardText& text) { return clipboardChannel_->writeText(text); },
        .clipboardImage = [this](const protocol::ClipboardImage& image) { clipboardChannel_->writeImage(image); },
        .windowList = [this](const std::shared_ptr<WebSocketConnection>& asker) {
            appsAndWindows_->requestWindowList(asker);
        },
        .launchApp = [this](const std::string& bundleId, const std::shared_ptr<WebSocketConnection>& asker) {
            appsAndWindows_->launchApp(bundleId, asker);
        },
        .appList = [this](const std::shared_ptr<WebSocketConnection>& asker) { appsAndWindows_->sendAppList(asker); },
        .log = [this](std::string_view line) { log(line); },
    });
}

void HostController::handleControlText(const std::string& text, const std::shared_ptr<Session>& session) {
    dispatch_->receiveText(text, session);
}

// The first frame of the awaited generation is on the device's screen: pointer input goes again,
// unless the picture is about to change once more.
void HostController::firstFrameShown(std::uint16_t gen) {
    if (windowPointerState_ != WindowPointerState::awaitingFrame || awaitedPointerGen_ != gen) return;
    if (pendingFit_ || aspectFit_.creationPending()) return;
    windowPointerState_ = WindowPointerState::ready;
    lastCursorSent_.reset();
}

void HostController::sendMessage(WebSocketConnection& connection, const protocol::ControlMessage& message) {
    MessageDispatch::send(connection, message);
}

}  // namespace orvanta::host
