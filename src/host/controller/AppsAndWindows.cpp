#include "host/controller/AppsAndWindows.h"

#include "host/transport/WebSocket.h"

namespace orvanta::host {

namespace {

constexpr std::string_view kLaunchFailedText = "アプリのウィンドウを開けませんでした";

}  // namespace

AppsAndWindows::AppsAndWindows(base::Executor& queue, base::Executor& main, base::Executor& utility,
                               const base::Clock& clock, std::shared_ptr<HostDesktopApps> apps)
    : queue_(queue), main_(main), utility_(utility), clock_(clock), apps_(std::move(apps)) {}

// Runs `work` on `to` while the component lives.
template <class Work>
void AppsAndWindows::hop(base::Executor& to, Work work) {
    to.async([weak = weak_from_this(), work = std::move(work)]() mutable {
        if (auto self = weak.lock()) work(*self);
    });
}

void AppsAndWindows::sendAppList(const std::shared_ptr<WebSocketConnection>& control) {
    if (!appListRequests_.insert(control->id()).second) return;
    hop(main_, [control](AppsAndWindows& self) {
        auto list = self.apps_->appEntries(self.apps_->openWindows());
        self.hop(self.queue_, [control, list = std::move(list)](AppsAndWindows& back) {
            back.appListRequests_.erase(control->id());
            if (back.callbacks_.mayUseCatalog(*control))
                back.callbacks_.send(*control, protocol::AppList{list.entries, list.icons});
        });
    });
}

void AppsAndWindows::launchApp(const std::string& bundleId, const std::shared_ptr<WebSocketConnection>& control) {
    const auto viewport = callbacks_.viewport();
    if (!viewport || launchingApp_ || viewport->first < 1 || viewport->second < 1) return;
    launchingApp_ = true;
    const std::uint64_t generation = callbacks_.beginSelection();
    hop(main_, [bundleId, control, generation](AppsAndWindows& self) {
        auto launched = self.apps_->launch(bundleId);
        self.hop(self.queue_, [control, generation, launched](AppsAndWindows& back) {
            back.launchStarted(control, generation, launched);
        });
    });
}

void AppsAndWindows::launchStarted(const std::shared_ptr<WebSocketConnection>& control, std::uint64_t generation,
                                   const std::optional<HostDesktopApps::Launched>& launched) {
    if (!callbacks_.mayUseCatalog(*control) || callbacks_.selection() != generation) {
        launchingApp_ = false;
        return;
    }
    if (!launched) return finishLaunch(control, generation, std::nullopt);
    const std::uint64_t deadline = clock_.uptimeMicros() + kAppWindowWaitMicros;
    hop(main_, [control, generation, app = *launched, deadline](AppsAndWindows& self) {
        self.pollAppWindow(app, deadline, [weak = self.weak_from_this(), control, generation](auto window) {
            if (auto alive = weak.lock()) {
                alive->hop(alive->queue_, [control, generation, window](AppsAndWindows& back) {
                    back.finishLaunch(control, generation, window);
                });
            }
        });
    });
}

// On the main thread: looks for the application's window every 0.35 s for 8 s, never blocking.
void AppsAndWindows::pollAppWindow(const HostDesktopApps::Launched& app, std::uint64_t deadline,
                                   std::function<void(std::optional<OpenWindowInfo>)> done) {
    if (auto window = apps_->windowOf(app)) return done(window);
    if (clock_.uptimeMicros() >= deadline || apps_->terminated(app)) return done(std::nullopt);
    main_.asyncAfter(kAppWindowPollInterval, [weak = weak_from_this(), app, deadline, done = std::move(done)] {
        if (auto self = weak.lock()) self->pollAppWindow(app, deadline, done);
    });
}

void AppsAndWindows::finishLaunch(const std::shared_ptr<WebSocketConnection>& control, std::uint64_t generation,
                                  std::optional<OpenWindowInfo> window) {
    launchingApp_ = false;
    if (!callbacks_.mayUseCatalog(*control) || callbacks_.selection() != generation) return;
    if (!window) {
        return callbacks_.send(*control,
                               protocol::Notice{protocol::NoticeKind::appLaunchFailed, std::string(kLaunchFailedText)});
    }
    callbacks_.fitWindow(window->windowId);
}

void AppsAndWindows::requestWindowList(const std::shared_ptr<WebSocketConnection>& control) {
    if (windowListInFlight_) return;
    windowListInFlight_ = true;
    // The list waits for the main thread, so it is built off the host queue.
    utility_.async([weak = weak_from_this(), control] {
        if (auto self = weak.lock()) self->sendWindowList(control);
    });
}

// Off the host queue: the icons wait for the main thread. A main thread stopped for shutdown gets
// no answer out.
void AppsAndWindows::sendWindowList(const std::shared_ptr<WebSocketConnection>& control) {
    protocol::WindowList list;
    try {
        main_.sync([&] {
            const auto windows = apps_->openWindows();
            std::set<std::int32_t> seen;
            protocol::AppIcons icons;
            for (const auto& window : windows) {
                list.entries.push_back({window.windowId, window.appName, window.title});
                if (!seen.insert(window.pid).second) continue;
                if (auto icon = apps_->appIconPNG(window.pid)) icons.emplace(window.appName, std::move(*icon));
            }
            if (!icons.empty()) list.appIcons = std::move(icons);
        });
    } catch (const base::ExecutorStopped&) {
        return;
    }
    hop(queue_, [control, list = std::move(list)](AppsAndWindows& self) {
        self.windowListInFlight_ = false;
        if (self.callbacks_.servesControl(*control)) self.callbacks_.send(*control, list);
    });
}

}  // namespace orvanta::host
