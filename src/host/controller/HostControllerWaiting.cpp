// The one connection waiting beside a main session: busy, resume, supersede, take-over, and the
// input-only controller session it may become.
#include "host/controller/HostController.h"

namespace orvanta::host {

void HostController::handleBusyText(const std::string& text, const std::shared_ptr<BusyWaiter>& waiter) {
    auto message = protocol::ControlMessage::decode(text);
    if (!message) {
        waiter->control->close(4002, "invalid message");
        return;
    }
    if (message->as<protocol::JoinController>()) {
        joinController(waiter);
    } else if (message->as<protocol::TakeOver>()) {
        takeOver(waiter);
    } else if (const auto* hello = message->as<protocol::Hello>(); hello && !waiter->hello) {
        busyWaiterHello(waiter, *hello);
    }
}

void HostController::busyWaiterHello(const std::shared_ptr<BusyWaiter>& waiter, const protocol::Hello& hello) {
    auto record = registry_->authenticate(hello.token, hello.deviceId);
    if (!record) {
        waiter->control->close(4003, "auth failed");
        log("busy waiter auth failed");
        return;
    }
    waiter->hello = hello;
    waiter->record = record;
    auto& parser = waiter->control->parser();
    parser.maxMessage = std::max(parser.maxMessage, kSessionMessageLimit);
    const auto current = session_;
    if (current && current->deviceId == record->deviceId) {
        busyWaiter_.reset();
        resumeSession(current, waiter, hello, *record);
        return;
    }
    // A session still waiting for its own hello must not keep a paired device out: it ends as its
    // hello time-out would have ended it.
    if (current && !current->authenticated) {
        busyWaiter_.reset();
        endSession(current, 4002, "hello timeout");
        startSessionFromWaiter(waiter, hello, *record);
        log("unauthenticated session replaced by " + Log::field(record->deviceId));
        return;
    }
    if (current && !current->detachedAt && now() > current->lastPongAt + kSupersedeSilenceMicros) {
        busyWaiter_.reset();
        endSession(current, 1001, "superseded");
        startSessionFromWaiter(waiter, hello, *record);
        log("session superseded by " + Log::field(record->deviceId) + " (old session silent)");
        return;
    }
    sendControl(*waiter->control, protocol::Busy{});
    log("busy sent to " + Log::field(record->deviceId));
}

void HostController::joinController(const std::shared_ptr<BusyWaiter>& waiter) {
    if (!waiter->record || !session_) return;
    busyWaiter_.reset();
    closeController("replaced");
    const std::string deviceId = waiter->record->deviceId;
    auto controller =
        std::make_shared<ControllerSession>(ControllerSession{waiter->control, deviceId, waiter->route, now(), 0});
    controllerSession_ = controller;
    if (waiter->hello) {
        registry_->touch(deviceId, deviceKindFrom(*waiter->hello));
        publishDevices();
    }
    if (input_) input_->beginSession(deviceId);
    std::weak_ptr<HostController> weakSelf = weak_from_this();
    std::weak_ptr<ControllerSession> weakController = controller;
    controller->control->onText = [weakSelf, weakController](std::string text) {
        auto self = weakSelf.lock();
        auto current = weakController.lock();
        if (self && current && current == self->controllerSession_) self->handleControllerText(text, current);
    };
    controller->control->onClosed = [weakSelf, weakController](std::optional<std::uint16_t>) {
        auto self = weakSelf.lock();
        auto current = weakController.lock();
        if (self && current && current == self->controllerSession_) self->controllerClosed(current);
    };
    sendControl(*controller->control, protocol::ControllerJoined{});
    publishLinks();
    log("controller joined: " + Log::field(deviceId));
}

void HostController::takeOver(const std::shared_ptr<BusyWaiter>& waiter) {
    if (!waiter->hello || !waiter->record) return;
    busyWaiter_.reset();
    if (const auto current = session_) {
        sendControl(*current->control, protocol::Notice{protocol::NoticeKind::takenOver});
        endSession(current, 1001, "taken over");
    }
    startSessionFromWaiter(waiter, *waiter->hello, *waiter->record);
    log("session taken over by " + Log::field(waiter->record->deviceId));
}

void HostController::startSessionFromWaiter(const std::shared_ptr<BusyWaiter>& waiter, const protocol::Hello& hello,
                                            const DeviceRecord& record) {
    auto session = std::make_shared<Session>(waiter->control, now());
    session->route = waiter->route;
    session_ = session;
    installSessionHandlers(session);
    completeHello(session, hello, record);
}

void HostController::resumeSession(const std::shared_ptr<Session>& current, const std::shared_ptr<BusyWaiter>& waiter,
                                   const protocol::Hello& hello, const DeviceRecord& record) {
    ++selectionGeneration_;
    if (!current->detachedAt && input_) input_->endSession(current->deviceId, false);
    current->control->onText = [](std::string) {};
    current->control->onClosed = [](std::optional<std::uint16_t>) {};
    if (auto video = std::exchange(current->video, nullptr)) video->close(1001, "replaced");
    detachSender();
    refreshAudio();
    stopPipeline();
    // A Windows client's display is shaped to its screen: another screen needs another display.
    const bool displayDestroyed =
        windowsScreenPixels(hello) != current->windowsScreenPixels && (virtualDisplay_ || virtualDisplayPending_);
    if (displayDestroyed) destroyVirtualDisplay("primary screenPixels changed", false);
    session_.reset();
    current->control->close(1001, "replaced");
    startSessionFromWaiter(waiter, hello, record);
    if (displayDestroyed && session_ && (windowFit_ || pendingFit_)) session_->recreateWindowDisplayOnResume = true;
    resumeWindowFit();
    recordSessionPhase("resume");
    log("session resumed by " + Log::field(record.deviceId));
}

void HostController::handleControllerText(const std::string& text,
                                          const std::shared_ptr<ControllerSession>& controller) {
    auto message = protocol::ControlMessage::decode(text);
    if (!message) return;
    if (message->as<protocol::Pong>()) {
        controller->lastPongAt = now();
        return;
    }
    dispatchControllerMessage(*message, controller);
}

void HostController::controllerClosed(const std::shared_ptr<ControllerSession>& controller) {
    if (input_) input_->endSession(controller->deviceId, false);
    controllerSession_.reset();
    publishLinks();
    log("controller detached: " + Log::field(controller->deviceId));
}

}  // namespace orvanta::host
