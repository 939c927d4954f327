// The main session's control messages: each is checked against the session's and the host's state
// and handed to the operation that owns it.
#include <algorithm>

#include "host/controller/HostController.h"

namespace orvanta::host {

namespace {

std::string_view resultName(InputResult result) {
    switch (result) {
        case InputResult::ok:
            return "ok";
        case InputResult::needsAccessibility:
            return "needsAccessibility";
        case InputResult::rejected:
            return "rejected";
    }
    return "rejected";
}

// Types only a host sends: a device sending one is broken or hostile.
bool hostOnly(const protocol::ControlMessage& message) {
    using namespace protocol;
    return std::visit(
        []<class T>(const T&) {
            return std::is_same_v<T, Welcome> || std::is_same_v<T, Auth> || std::is_same_v<T, Ping> ||
                   std::is_same_v<T, Notice> || std::is_same_v<T, ErrorMessage> || std::is_same_v<T, CursorPosition> ||
                   std::is_same_v<T, WindowState> || std::is_same_v<T, WindowList> || std::is_same_v<T, AppList> ||
                   std::is_same_v<T, Busy> || std::is_same_v<T, TakeOver> || std::is_same_v<T, JoinController> ||
                   std::is_same_v<T, ControllerJoined>;
        },
        message.payload);
}

}  // namespace

void HostController::handleControlText(const std::string& text, const std::shared_ptr<Session>& session) {
    auto message = protocol::ControlMessage::decode(text);
    if (!message) return logUndecodable();
    dispatchSessionMessage(*message, session);
    wipeSecrets(*message);
}

// An unlock request's password goes no further than its handling.
void HostController::wipeSecrets(protocol::ControlMessage& message) {
    if (auto* unlock = std::get_if<protocol::UnlockRequest>(&message.payload)) Secret::wipe(unlock->password);
}

void HostController::dispatchSessionMessage(const protocol::ControlMessage& message,
                                            const std::shared_ptr<Session>& session) {
    if (hostOnly(message)) return session->control->close(4002, "unexpected message");
    dispatch(message, session);
}

void HostController::logUndecodable() {
    const auto at = now();
    if (at - lastUndecodableLogAt_ <= 1'000'000) return;
    lastUndecodableLogAt_ = at;
    log("control: ignoring undecodable message");
}

void HostController::dispatch(const protocol::ControlMessage& message, const std::shared_ptr<Session>& session) {
    using namespace protocol;
    Session& s = *session;
    const bool auth = s.authenticated;
    const bool attached = !s.detachedAt;
    const bool live = auth && !paused_;
    const bool main = session == session_;
    if (auto hello = message.as<Hello>()) return handleSessionHello(session, *hello);
    if (auto pong = message.as<Pong>()) return handlePong(*pong, s);
    if (!auth) return;
    if (auto ack = message.as<Ack>()) return handleAck(*ack);
    if (message.as<PointerInput>() || message.as<KeyInput>()) {
        if (attached && !paused_) dispatchInput(message, s.deviceId, *s.control);
        return;
    }
    if (message.as<TextInput>()) {
        if (!paused_) dispatchInput(message, s.deviceId, *s.control);
        return;
    }
    if (auto fit = message.as<DisplayAspectFitRequest>()) return applyClientAspectFit(*fit, s);
    if (auto viewport = message.as<ViewportUpdate>()) return applyViewportUpdate(*viewport, s);
    if (message.as<RequestKeyframe>()) return forceKeyframe();
    if (auto unlock = message.as<UnlockRequest>()) {
        if (attached && main && s.route != ConnectionRoute::lan) pause_->unlock(unlock->password);
        return;
    }
    if (auto audio = message.as<AudioRequest>()) {
        if (main) handleAudio(*audio, s);
        return;
    }
    if (!live) return;
    if (auto fit = message.as<FitWindowRequest>()) return handleFitWindow(*fit);
    if (auto target = message.as<FitWindowTarget>()) return applyWindowFitTarget(*target);
    if (message.as<UnfitWindow>()) {
        clearWindowFit(true, true);
        return sendWindowState(false, std::nullopt);
    }
    if (auto clip = message.as<ClipboardText>()) return handleInputResult(clipboardChannel_->writeText(*clip));
    if (auto image = message.as<ClipboardImage>()) return clipboardChannel_->writeImage(*image);
    if (message.as<WindowListRequest>()) return appsAndWindows_->requestWindowList(s.control);
    if (!attached) return;
    if (auto launch = message.as<LaunchAppRequest>()) return appsAndWindows_->launchApp(launch->bundleId, s.control);
    if (message.as<AppListRequest>()) return appsAndWindows_->sendAppList(s.control);
}

// The input-only second device acts only on the live main session's desktop.
void HostController::dispatchControllerMessage(const protocol::ControlMessage& message,
                                               const std::shared_ptr<ControllerSession>& controller) {
    using namespace protocol;
    if (!session_ || paused_) return;
    const bool auth = session_->authenticated;
    const bool live = auth && !session_->detachedAt;
    const bool viewport = session_->viewportWidth >= 1 && session_->viewportHeight >= 1;
    if (message.as<PointerInput>() || message.as<KeyInput>() || message.as<TextInput>()) {
        if (live) dispatchInput(message, controller->deviceId, *controller->control);
        return;
    }
    if (auto clip = message.as<ClipboardText>()) {
        if (live) handleInputResult(clipboardChannel_->writeText(*clip));
        return;
    }
    if (auto image = message.as<ClipboardImage>()) {
        if (live) clipboardChannel_->writeImage(*image);
        return;
    }
    if (message.as<FitWindowRequest>()) {
        if (auth && viewport) handleFitWindow({session_->viewportWidth, session_->viewportHeight});
        return;
    }
    if (auto target = message.as<FitWindowTarget>()) {
        if (auth && viewport) applyWindowFitTarget(*target);
        return;
    }
    if (message.as<UnfitWindow>()) {
        clearWindowFit(true, true);
        return sendWindowState(false, std::nullopt);
    }
    if (message.as<WindowListRequest>()) return appsAndWindows_->requestWindowList(controller->control);
    if (!live) return;
    if (auto launch = message.as<LaunchAppRequest>())
        return appsAndWindows_->launchApp(launch->bundleId, controller->control);
    if (message.as<AppListRequest>()) return appsAndWindows_->sendAppList(controller->control);
}

void HostController::dispatchInput(const protocol::ControlMessage& message, const std::string& source,
                                   WebSocketConnection& connection) {
    if (!input_) return;
    auto& injector = *input_;
    InputResult result = InputResult::ok;
    std::string line;
    if (auto pointer = message.as<protocol::PointerInput>()) {
        if (windowPointerState_ != WindowPointerState::ready && pointer->action != "cancel") return;
        result = injector.handle(*pointer, source);
        maxInputAge_ = std::max(maxInputAge_, now() - connection.receiveStartedAt());
        line = "input pointer " + Log::field(pointer->action) + " seq=" + std::to_string(pointer->seq);
    } else if (auto key = message.as<protocol::KeyInput>()) {
        result = injector.handle(*key, source);
        line = "input key seq=" + std::to_string(key->seq);
    } else if (auto text = message.as<protocol::TextInput>()) {
        result = injector.handle(*text, source);
        line = "input text len=" + std::to_string(base::decodeUtf8Lossy(text->value).size()) +
               " seq=" + std::to_string(text->seq);
    }
    if (debugInput_) log(line + " -> " + std::string(resultName(result)));
    handleInputResult(result);
}

void HostController::handleAck(const protocol::Ack& ack) {
    if (!sender_->ackReceived(ack.gen, ack.seq)) return;
    if (windowPointerState_ != WindowPointerState::awaitingFrame || awaitedPointerGen_ != ack.gen) return;
    if (pendingFit_ || virtualDisplayPending_) return;
    windowPointerState_ = WindowPointerState::ready;
    lastCursorSent_.reset();
}

void HostController::handlePong(const protocol::Pong& pong, Session& session) {
    const std::uint64_t at = now();
    session.lastPongAt = at;
    const std::uint64_t rtt = at - pong.t;  // a time from the future wraps to a huge value
    if (rtt > kMaxRTTMicros) return;
    auto& samples = session.rttSamples;
    if (samples.size() >= kMaxRTTSamples) samples.erase(samples.begin(), samples.end() - (kMaxRTTSamples - 1));
    samples.push_back(rtt);
    sender_->setBaseRTTMicros(std::max(std::ranges::min(samples), kMinBaseRTTMicros));
}

void HostController::handleAudio(const protocol::AudioRequest& request, Session& session) {
    if (request.enabled != session.audioRequested) {
        session.audioRequested = request.enabled;
        log(std::string("audio requested: ") + (request.enabled ? "true" : "false"));
    }
    refreshAudio();
}

void HostController::handleFitWindow(const protocol::FitWindowRequest& request) {
    if (request.viewportWidth >= 1 && request.viewportHeight >= 1 && fitFrontmostWindow(request)) return;
    sendWindowState(false, std::nullopt);
    log("window fit: no frontmost target");
}

void HostController::handleInputResult(InputResult result) {
    if (result != InputResult::needsAccessibility || accessibilityNoticeSent_) return;
    accessibilityNoticeSent_ = true;
    if (session_ && session_->authenticated) {
        sendMessage(*session_->control, protocol::Notice{protocol::NoticeKind::accessibilityNeeded});
    }
    log("input rejected: accessibility not granted");
    log("input injection needs the XTest extension on the display");
}

void HostController::sendMessage(WebSocketConnection& connection, const protocol::ControlMessage& message) {
    if (auto text = message.jsonString()) connection.sendText(*text);
}

}  // namespace orvanta::host
