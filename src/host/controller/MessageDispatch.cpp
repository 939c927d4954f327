#include "host/controller/MessageDispatch.h"

#include <algorithm>

#include "base/Utf8.h"
#include "host/transport/Support.h"

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

// An unlock request's password goes no further than its handling.
void wipeSecrets(protocol::ControlMessage& message) {
    if (auto* unlock = std::get_if<protocol::UnlockRequest>(&message.payload)) Secret::wipe(unlock->password);
}

}  // namespace

MessageDispatch::MessageDispatch(const base::Clock& clock, std::shared_ptr<HostInput> input, bool debugInput)
    : clock_(clock), input_(std::move(input)), debugInput_(debugInput) {}

void MessageDispatch::receiveText(const std::string& text, const std::shared_ptr<HostSession>& session) {
    auto message = protocol::ControlMessage::decode(text);
    if (!message) return undecodable();
    receive(*message, session);
}

void MessageDispatch::receive(protocol::ControlMessage& message, const std::shared_ptr<HostSession>& session) {
    if (hostOnly(message)) {
        session->control->close(4002, "unexpected message");
    } else {
        dispatch(message, session);
    }
    wipeSecrets(message);
}

void MessageDispatch::undecodable() {
    const auto at = now();
    if (at - lastUndecodableLogAt_ <= kUndecodableLogIntervalMicros) return;
    lastUndecodableLogAt_ = at;
    log("control: ignoring undecodable message");
}

void MessageDispatch::dispatch(const protocol::ControlMessage& message, const std::shared_ptr<HostSession>& session) {
    using namespace protocol;
    const auto& n = neighbours_;
    HostSession& s = *session;
    const bool auth = s.authenticated;
    const bool attached = !s.detachedAt;
    const bool paused = n.paused();
    const bool live = auth && !paused;
    const bool main = session == n.session();
    if (auto hello = message.as<Hello>()) return n.hello(session, *hello);
    if (auto pong = message.as<Pong>()) return handlePong(*pong, s);
    if (!auth) return;
    if (auto ack = message.as<Ack>()) return handleAck(*ack);
    if (message.as<PointerInput>() || message.as<KeyInput>()) {
        if (attached && !paused) dispatchInput(message, s.deviceId, *s.control);
        return;
    }
    if (message.as<TextInput>()) {
        if (!paused) dispatchInput(message, s.deviceId, *s.control);
        return;
    }
    if (auto fit = message.as<DisplayAspectFitRequest>()) return n.aspectFit(*fit, s);
    if (auto viewport = message.as<ViewportUpdate>()) return n.viewportUpdate(*viewport, s);
    if (message.as<RequestKeyframe>()) return n.forceKeyframe();
    if (auto unlock = message.as<UnlockRequest>()) {
        if (attached && main && s.route != ConnectionRoute::lan) n.unlock(unlock->password);
        return;
    }
    if (auto audio = message.as<AudioRequest>()) {
        if (main) handleAudio(*audio, s);
        return;
    }
    if (!live) return;
    if (auto fit = message.as<FitWindowRequest>()) return handleFitWindow(*fit);
    if (auto target = message.as<FitWindowTarget>()) return n.fitTarget(*target);
    if (message.as<UnfitWindow>()) {
        n.unfit();
        return n.sendNoWindowState();
    }
    if (auto clip = message.as<ClipboardText>()) return inputResult(n.clipboardText(*clip));
    if (auto image = message.as<ClipboardImage>()) return n.clipboardImage(*image);
    if (message.as<WindowListRequest>()) return n.windowList(s.control);
    if (!attached) return;
    if (auto launch = message.as<LaunchAppRequest>()) return n.launchApp(launch->bundleId, s.control);
    if (message.as<AppListRequest>()) return n.appList(s.control);
}

void MessageDispatch::receiveFromController(const protocol::ControlMessage& message,
                                            const std::shared_ptr<ControllerSession>& controller) {
    using namespace protocol;
    const auto& n = neighbours_;
    const auto session = n.session();
    if (!session || n.paused()) return;
    const bool auth = session->authenticated;
    const bool live = auth && !session->detachedAt;
    const bool viewport = session->viewportWidth >= 1 && session->viewportHeight >= 1;
    if (message.as<PointerInput>() || message.as<KeyInput>() || message.as<TextInput>()) {
        if (live) dispatchInput(message, controller->deviceId, *controller->control);
        return;
    }
    if (auto clip = message.as<ClipboardText>()) {
        if (live) inputResult(n.clipboardText(*clip));
        return;
    }
    if (auto image = message.as<ClipboardImage>()) {
        if (live) n.clipboardImage(*image);
        return;
    }
    if (message.as<FitWindowRequest>()) {
        if (auth && viewport) handleFitWindow({session->viewportWidth, session->viewportHeight});
        return;
    }
    if (auto target = message.as<FitWindowTarget>()) {
        if (auth && viewport) n.fitTarget(*target);
        return;
    }
    if (message.as<UnfitWindow>()) {
        n.unfit();
        return n.sendNoWindowState();
    }
    if (message.as<WindowListRequest>()) return n.windowList(controller->control);
    if (!live) return;
    if (auto launch = message.as<LaunchAppRequest>()) return n.launchApp(launch->bundleId, controller->control);
    if (message.as<AppListRequest>()) return n.appList(controller->control);
}

void MessageDispatch::dispatchInput(const protocol::ControlMessage& message, const std::string& source,
                                    WebSocketConnection& connection) {
    if (!input_) return;
    InputResult result = InputResult::ok;
    std::string line;
    if (auto pointer = message.as<protocol::PointerInput>()) {
        if (!neighbours_.pointerReady() && pointer->action != "cancel") return;
        result = input_->handle(*pointer, source);
        neighbours_.inputAge(now() - connection.receiveStartedAt());
        line = "input pointer " + Log::field(pointer->action) + " seq=" + std::to_string(pointer->seq);
    } else if (auto key = message.as<protocol::KeyInput>()) {
        result = input_->handle(*key, source);
        line = "input key seq=" + std::to_string(key->seq);
    } else if (auto text = message.as<protocol::TextInput>()) {
        result = input_->handle(*text, source);
        line = "input text len=" + std::to_string(base::decodeUtf8Lossy(text->value).size()) +
               " seq=" + std::to_string(text->seq);
    }
    if (debugInput_) log(line + " -> " + std::string(resultName(result)));
    inputResult(result);
}

void MessageDispatch::handleAck(const protocol::Ack& ack) {
    if (neighbours_.ackReceived(ack.gen, ack.seq)) neighbours_.firstFrameShown(ack.gen);
}

void MessageDispatch::handlePong(const protocol::Pong& pong, HostSession& session) {
    const std::uint64_t at = now();
    session.lastPongAt = at;
    const std::uint64_t rtt = at - pong.t;  // a time from the future wraps to a huge value
    if (rtt > kMaxRTTMicros) return;
    auto& samples = session.rttSamples;
    if (samples.size() >= kMaxRTTSamples) samples.erase(samples.begin(), samples.end() - (kMaxRTTSamples - 1));
    samples.push_back(rtt);
    neighbours_.setBaseRTT(std::max(std::ranges::min(samples), kMinBaseRTTMicros));
}

void MessageDispatch::handleAudio(const protocol::AudioRequest& request, HostSession& session) {
    if (request.enabled != session.audioRequested) {
        session.audioRequested = request.enabled;
        log(std::string("audio requested: ") + (request.enabled ? "true" : "false"));
    }
    neighbours_.refreshAudio();
}

void MessageDispatch::handleFitWindow(const protocol::FitWindowRequest& request) {
    if (request.viewportWidth >= 1 && request.viewportHeight >= 1 && neighbours_.fitFrontmost(request)) return;
    neighbours_.sendNoWindowState();
    log("window fit: no frontmost target");
}

void MessageDispatch::inputResult(InputResult result) {
    if (result != InputResult::needsAccessibility || accessibilityNoticeSent_) return;
    accessibilityNoticeSent_ = true;
    if (const auto session = neighbours_.session(); session && session->authenticated) {
        send(*session->control, protocol::Notice{protocol::NoticeKind::accessibilityNeeded});
    }
    log("input rejected: accessibility not granted");
    log("input injection needs the XTest extension on the display");
}

void MessageDispatch::send(WebSocketConnection& connection, const protocol::ControlMessage& message) {
    if (auto text = message.jsonString()) connection.sendText(*text);
}

void MessageDispatch::log(std::string_view line) const {
    if (neighbours_.log) neighbours_.log(line);
}

}  // namespace orvanta::host
