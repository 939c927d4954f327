// The application list, launching an application into a fitted window, and the window list. The
// desktop is asked on the main thread; every answer comes back to the host queue, which checks
// that the requester is still entitled before it replies.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "base/Clock.h"
#include "base/Executor.h"
#include "host/controller/HostDesktopSeams.h"
#include "protocol/ControlMessages.h"

namespace orvanta::host {

class WebSocketConnection;

class AppsAndWindows final : public std::enable_shared_from_this<AppsAndWindows> {
public:
    static constexpr std::uint64_t kAppWindowWaitMicros = 8'000'000;
    static constexpr base::Micros kAppWindowPollInterval{350'000};

    // What the component asks of the sessions and window fit; all on the host queue.
    struct Callbacks {
        // The connection may browse and launch now (the live main session's, or its controller's).
        std::function<bool(const WebSocketConnection&)> mayUseCatalog;
        // The connection still serves a session (main or controller).
        std::function<bool(const WebSocketConnection&)> servesControl;
        // The main session's viewport; nothing without a main session.
        std::function<std::optional<std::pair<int, int>>()> viewport;
        // A new window selection begins: its generation. `selection` is the current one.
        std::function<std::uint64_t()> beginSelection;
        std::function<std::uint64_t()> selection;
        // Fits the launched application's window at the main session's viewport.
        std::function<void(std::uint32_t windowId)> fitWindow;
        std::function<void(WebSocketConnection&, const protocol::ControlMessage&)> send;
    };

    // The executors and the clock outlive the component; `utility` builds the window list.
    AppsAndWindows(base::Executor& queue, base::Executor& main, base::Executor& utility, const base::Clock& clock,
                   std::shared_ptr<HostDesktopApps> apps);
    void setCallbacks(Callbacks callbacks) { callbacks_ = std::move(callbacks); }

    // One list at a time per connection.
    void sendAppList(const std::shared_ptr<WebSocketConnection>& control);
    // One launch at a time, and only with a viewport to fit the window to.
    void launchApp(const std::string& bundleId, const std::shared_ptr<WebSocketConnection>& control);
    // A request while one is built is dropped.
    void requestWindowList(const std::shared_ptr<WebSocketConnection>& control);

private:
    template <class Work>
    void hop(base::Executor& to, Work work);
    void launchStarted(const std::shared_ptr<WebSocketConnection>& control, std::uint64_t generation,
                       const std::optional<HostDesktopApps::Launched>& launched);
    void pollAppWindow(const HostDesktopApps::Launched& app, std::uint64_t deadline,
                       std::function<void(std::optional<OpenWindowInfo>)> done);
    void finishLaunch(const std::shared_ptr<WebSocketConnection>& control, std::uint64_t generation,
                      std::optional<OpenWindowInfo> window);
    void sendWindowList(const std::shared_ptr<WebSocketConnection>& control);

    base::Executor& queue_;
    base::Executor& main_;
    base::Executor& utility_;
    const base::Clock& clock_;
    const std::shared_ptr<HostDesktopApps> apps_;
    Callbacks callbacks_;
    std::set<std::string> appListRequests_;  // connection identifiers
    bool launchingApp_ = false;
    bool windowListInFlight_ = false;
};

}  // namespace orvanta::host
