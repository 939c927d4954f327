// The host's control connections and the sessions they become: the first message and the hello,
// the main session, the one connection waiting beside it (busy, resume, supersede, take-over), the
// input-only controller session, detach with its return window, revoke, and the keep-alive pings
// with their pong deadlines. Runs on the host queue. What a session's start, resume, detach or end
// does to the rest of the host is the coordinator's, reached through the callbacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/Clock.h"
#include "base/Executor.h"
#include "base/Json.h"
#include "host/controller/HostSession.h"
#include "host/transport/DeviceRegistry.h"
#include "host/transport/WebSocket.h"
#include "protocol/ControlMessages.h"

namespace orvanta::host {

class SessionHub final : public std::enable_shared_from_this<SessionHub> {
public:
    static constexpr base::Micros kHelloTimeout{10'000'000};
    static constexpr base::Micros kDetachWait{60'000'000};
    static constexpr std::uint64_t kSupersedeSilenceMicros = 30'000'000;
    static constexpr std::uint64_t kPongTimeoutMicros = 5'000'000;
    static constexpr std::int64_t kSessionMessageLimit = 8'388'608;
    static constexpr std::size_t kTicketBytes = 32;

    // The executor and the clock outlive the hub.
    SessionHub(base::Executor& queue, const base::Clock& clock, std::shared_ptr<DeviceRegistry> registry);

    // Set after construction. The session's steps across the host, in the coordinator's order:
    // before the hello's record is filled in, after it is, a resume replacing `current` with the
    // waiting connection (which calls replace()), a detach (which calls markDetached() and
    // awaitReturn()) and an end (which calls release()).
    std::function<void(const DeviceRecord& record)> onSessionStarting;
    std::function<void(const std::shared_ptr<HostSession>& session)> onSessionStarted;
    std::function<void(const std::shared_ptr<HostSession>& current, const std::shared_ptr<BusyWaiter>& waiter)>
        onResume;
    std::function<void(const std::shared_ptr<HostSession>& session)> onDetach;
    std::function<void(const std::shared_ptr<HostSession>& session, std::optional<std::uint16_t> code,
                       std::string_view reason)>
        onEnd;
    // Messages: a main session's after its hello (its secrets may be wiped after), one that did
    // not decode, and the controller's other than pongs.
    std::function<void(protocol::ControlMessage& message, const std::shared_ptr<HostSession>& session)> onMessage;
    std::function<void()> onUndecodable;
    std::function<void(const protocol::ControlMessage& message, const std::shared_ptr<ControllerSession>& controller)>
        onControllerMessage;
    // A first message that asked for the clipboard channel; the connection is the channel's if it
    // is still open afterwards.
    std::function<void(const std::shared_ptr<WebSocketConnection>& connection, const base::Json& hello,
                       ConnectionRoute route)>
        onClipboardHello;
    // The controller session's input, begun and ended.
    std::function<void(const std::string& deviceId)> onControllerJoined;
    std::function<void(const std::string& deviceId)> onControllerEnded;
    std::function<void()> onDevicesChanged;  // a device was seen
    std::function<void()> onLinksChanged;    // the sessions' devices or roles changed
    std::function<void(std::string_view)> log;

    // An upgraded control connection, up to its first message.
    void accept(UpgradedSocket socket, base::Bytes leftover, ConnectionRoute route);
    // A hello on the main session's connection.
    void handleHello(const std::shared_ptr<HostSession>& session, const protocol::Hello& hello);

    // A controller session's text: pongs are kept here, the rest goes on.
    void handleControllerText(const std::string& text, const std::shared_ptr<ControllerSession>& controller);

    const std::shared_ptr<HostSession>& session() const { return session_; }
    const std::shared_ptr<BusyWaiter>& waiter() const { return waiter_; }
    const std::shared_ptr<ControllerSession>& controller() const { return controller_; }

    // For the coordinator's steps: resume gives the main session to the waiting connection, a
    // detach starts the return window, an end forgets the session (false when it is not current).
    void replace(const std::shared_ptr<HostSession>& current, const std::shared_ptr<BusyWaiter>& waiter);
    void markDetached(HostSession& session);
    void awaitReturn(const std::shared_ptr<HostSession>& session);
    bool release(const std::shared_ptr<HostSession>& session);

    void closeController(std::string_view reason);
    // Ends everything of a device that is no longer paired.
    void revoke(const std::string& deviceId);
    // The keep-alive tick: pings the live sessions and ends those whose pongs stopped.
    void keepAlive();

    // A Windows desktop client's screen size, when its hello gives one with both sides positive.
    static std::optional<std::pair<int, int>> windowsScreenPixels(const protocol::Hello& hello);

private:
    std::uint64_t now() const { return clock_.uptimeMicros(); }
    void handOffHello(const std::shared_ptr<WebSocketConnection>& connection, const std::string& text,
                      ConnectionRoute route);
    void acceptScreenControl(const std::shared_ptr<WebSocketConnection>& connection, ConnectionRoute route,
                             const std::string& helloText);
    void installSessionHandlers(const std::shared_ptr<HostSession>& session);
    void sessionText(const std::string& text, const std::shared_ptr<HostSession>& session);
    void sessionClosed(const std::shared_ptr<HostSession>& session);
    void completeHello(const std::shared_ptr<HostSession>& session, const protocol::Hello& hello,
                       const DeviceRecord& record);
    void handleWaitingText(const std::string& text, const std::shared_ptr<BusyWaiter>& waiter);
    void waiterHello(const std::shared_ptr<BusyWaiter>& waiter, const protocol::Hello& hello);
    void joinController(const std::shared_ptr<BusyWaiter>& waiter);
    void takeOver(const std::shared_ptr<BusyWaiter>& waiter);
    void startFromWaiter(const std::shared_ptr<BusyWaiter>& waiter);
    void controllerClosed(const std::shared_ptr<ControllerSession>& controller);

    base::Executor& queue_;
    const base::Clock& clock_;
    const std::shared_ptr<DeviceRegistry> registry_;
    std::map<std::string, std::shared_ptr<WebSocketConnection>> awaitingHello_;
    std::shared_ptr<HostSession> session_;
    std::shared_ptr<BusyWaiter> waiter_;
    std::shared_ptr<ControllerSession> controller_;
};

}  // namespace orvanta::host
