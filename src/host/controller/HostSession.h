// The records of the host's sessions, shared by the controller's components: the main session,
// the connection waiting beside it and the input-only second device. They live on the host queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/transport/DeviceRegistry.h"
#include "host/transport/HTTPServer.h"
#include "host/transport/WebSocket.h"
#include "protocol/ControlMessages.h"

namespace orvanta::host {

// The main session: one device's control channel and what it negotiated.
struct HostSession {
    HostSession(std::shared_ptr<WebSocketConnection> connection, std::uint64_t createdAt)
        : control(std::move(connection)), lastPongAt(createdAt) {}

    const std::shared_ptr<WebSocketConnection> control;
    ConnectionRoute route = ConnectionRoute::local;
    std::shared_ptr<WebSocketConnection> video;
    std::string deviceId;
    std::string deviceName;
    std::string sessionId;
    std::string ticket;
    bool ticketUsed = false;
    DeviceKind deviceKind = DeviceKind::other;
    bool hasPhoneIdiom = false;
    bool authenticated = false;
    std::optional<std::pair<int, int>> windowsScreenPixels;
    bool recreateWindowDisplayOnResume = false;
    int viewportWidth = 0;
    int viewportHeight = 0;
    bool viewportChangedWhilePaused = false;
    bool audioRequested = false;
    std::uint64_t lastPongAt;
    std::uint32_t pingId = 0;
    std::vector<std::uint64_t> rttSamples;
    std::optional<std::uint64_t> detachedAt;
};

// The one connection waiting while a main session exists.
struct BusyWaiter {
    const std::shared_ptr<WebSocketConnection> control;
    ConnectionRoute route = ConnectionRoute::local;
    std::optional<protocol::Hello> hello;  // once its hello is accepted
    std::optional<DeviceRecord> record;    // once authenticated
};

// The input-only second device.
struct ControllerSession {
    const std::shared_ptr<WebSocketConnection> control;
    const std::string deviceId;
    const ConnectionRoute route = ConnectionRoute::local;
    std::uint64_t lastPongAt = 0;
    std::uint32_t pingId = 0;
};

enum class WindowPointerState { awaitingFrame, ready, changing };

}  // namespace orvanta::host
