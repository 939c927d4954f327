// The application list, launching an application into a fitted window, and the window list. The
// desktop is asked on the main thread; every answer comes back to the controller's queue, which
// checks that the requester is still entitled before it replies.
#include "host/controller/HostController.h"

namespace orvanta::host {

namespace {

constexpr std::string_view kLaunchFailedText = "アプリのウィンドウを開けませんでした";

// Runs `work` on `to` while the controller lives.
template <class Work>
void hop(base::Executor& to, std::weak_ptr<HostController> weak, Work work) {
    to.async([weak = std::move(weak), work = std::move(work)]() mutable {
        if (auto controller = weak.lock()) work(*controller);
    });
}

}  // namespace

bool HostController::servesControl(const WebSocketConnection& socket) const {
    return (session_ && session_->control.get() == &socket) ||
           (controllerSession_ && controllerSession_->control.get() == &socket);
}

bool HostController::canUseAppCatalog(const WebSocketConnection& socket) const {
    return session_ && session_->authenticated && !session_->detachedAt && !paused_ && servesControl(socket);
}

void HostController::sendAppList(const std::shared_ptr<WebSocketConnection>& control) {
    if (!appListRequests_.insert(control->id()).second) return;
    hop(main_, weak_from_this(), [control](HostController& self) {
        auto list = self.dependencies_.control.apps->appEntries(self.dependencies_.control.apps->openWindows());
        hop(self.queue_, self.weak_from_this(), [control, list = std::move(list)](HostController& back) {
            back.appListRequests_.erase(control->id());
            if (back.canUseAppCatalog(*control))
                back.sendMessage(*control, protocol::AppList{list.entries, list.icons});
        });
    });
}

void HostController::launchApp(const std::string& bundleId, const std::shared_ptr<WebSocketConnection>& control) {
    if (!session_ || launchingApp_ || session_->viewportWidth < 1 || session_->viewportHeight < 1) return;
    launchingApp_ = true;
    const std::uint64_t generation = ++selectionGeneration_;
    hop(main_, weak_from_this(), [bundleId, control, generation](HostController& self) {
        auto launched = self.dependencies_.control.apps->launch(bundleId);
        hop(self.queue_, self.weak_from_this(), [control, generation, launched](HostController& back) {
            back.launchStarted(control, generation, launched);
        });
    });
}

void HostController::launchStarted(const std::shared_ptr<WebSocketConnection>& control, std::uint64_t generation,
                                   const std::optional<HostDesktopApps::Launched>& launched) {
    if (!canUseAppCatalog(*control) || selectionGeneration_ != generation) {
        launchingApp_ = false;
        return;
    }
    if (!launched) return finishLaunch(control, generation, std::nullopt);
    const std::uint64_t deadline = now() + kAppWindowWaitMicros;
    hop(main_, weak_from_this(), [control, generation, app = *launched, deadline](HostController& self) {
        self.pollAppWindow(app, deadline,
                           [weak = self.weak_from_this(), queue = &self.queue_, control, generation](auto window) {
                               hop(*queue, weak, [control, generation, window](HostController& back) {
                                   back.finishLaunch(control, generation, window);
                               });
                           });
    });
}

// On the main thread: looks for the application's window every 0.35 s for 8 s, never blocking.
void HostController::pollAppWindow(const HostDesktopApps::Launched& app, std::uint64_t deadline,
                                   std::function<void(std::optional<OpenWindowInfo>)> done) {
    auto& apps = *dependencies_.control.apps;
    if (auto window = apps.windowOf(app)) return done(window);
    if (now() >= deadline || apps.terminated(app)) return done(std::nullopt);
    main_.asyncAfter(kAppWindowPollInterval, [weakSelf = weak_from_this(), app, deadline, done = std::move(done)] {
        if (auto self = weakSelf.lock()) self->pollAppWindow(app, deadline, done);
    });
}

void HostController::finishLaunch(const std::shared_ptr<WebSocketConnection>& control, std::uint64_t generation,
                                  std::optional<OpenWindowInfo> window) {
    launchingApp_ = false;
    if (!canUseAppCatalog(*control) || selectionGeneration_ != generation) return;
    if (!window) {
        return sendMessage(*control,
                           protocol::Notice{protocol::NoticeKind::appLaunchFailed, std::string(kLaunchFailedText)});
    }
    applyWindowFitTarget({window->windowId, session_->viewportWidth, session_->viewportHeight});
}

// Off the controller's queue: the icons wait for the main thread. A main thread stopped for
// shutdown gets no answer out.
void HostController::sendWindowList(const std::shared_ptr<WebSocketConnection>& control) {
    auto apps = dependencies_.control.apps;
    protocol::WindowList list;
    try {
        main_.sync([&] {
            const auto windows = apps->openWindows();
            std::set<std::int32_t> seen;
            protocol::AppIcons icons;
            for (const auto& window : windows) {
                list.entries.push_back({window.windowId, window.appName, window.title});
                if (!seen.insert(window.pid).second) continue;
                if (auto icon = apps->appIconPNG(window.pid)) icons.emplace(window.appName, std::move(*icon));
            }
            if (!icons.empty()) list.appIcons = std::move(icons);
        });
    } catch (const base::ExecutorStopped&) {
        return;
    }
    queue_.async([weakSelf = weak_from_this(), control, list = std::move(list)] {
        auto self = weakSelf.lock();
        if (!self) return;
        self->windowListInFlight_ = false;
        if (self->servesControl(*control)) self->sendMessage(*control, list);
    });
}

}  // namespace orvanta::host
