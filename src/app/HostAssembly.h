// The real host put together: the controller's queues, clock, stores and every desktop and media
// backend of this machine's X display and audio server, adapted to the controller's views. One per
// process; it starts nothing until start().
#pragma once

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/DispatchQueue.h"
#include "base/Settings.h"
#include "host/controller/HostController.h"
#include "host/transport/HTTPServer.h"
#include "platform/IconRenderer.h"
#include "platform/ImageCodec.h"
#include "platform/SyncPasteboard.h"

namespace orvanta::host {
class SystemMedia;
}

namespace orvanta::app {

// What only the user-interface layer can make (Qt's pasteboard, pictures and icons). They belong
// to the main thread and are made and destroyed there.
struct HostUiBackends {
    std::shared_ptr<platform::SyncPasteboard> pasteboard;
    std::shared_ptr<platform::ImageCodec> images;
    std::shared_ptr<platform::IconRenderer> icons;
    std::shared_ptr<void> toolkit;  // what they need alive (the toolkit's application object), released last
};

struct HostAssemblyOptions {
    host::HTTPServerOptions server;  // the listeners' addresses and ports
    bool advertise = false;          // announce the LAN listener over DNS-SD
    std::string display;             // the X display; empty: $DISPLAY
    // The main thread; nothing: a stand-in queue of the assembly's own, for a process without UI.
    base::Executor* main = nullptr;
    // Run once on the main executor.
    std::function<HostUiBackends()> uiBackends;
    // The settings store, shared with the rest of the process; nothing: the standard one.
    std::shared_ptr<base::Settings> settings;
    // The pair link of a displayed code; nothing: the Tailscale tool's.
    std::function<std::optional<std::string>(const std::string& code)> pairLinkLookup;
};

class HostAssembly {
public:
    // Why the host cannot run here: no X display, or no stores.
    static std::expected<std::unique_ptr<HostAssembly>, std::string> create(HostAssemblyOptions options);
    // Shuts the controller down on its queue, then stops every queue before the backends go.
    ~HostAssembly();
    HostAssembly(const HostAssembly&) = delete;
    HostAssembly& operator=(const HostAssembly&) = delete;

    void start() { controller_->start(); }
    host::HostController& controller() { return *controller_; }
    base::DispatchQueue& queue() { return *queue_; }
    base::Executor& main() { return *main_; }

    // The controller queue's view of the listeners; nothing while one is not listening.
    std::optional<std::uint16_t> loopbackPort();
    std::optional<std::uint16_t> lanPort();

    struct Backends;

private:
    explicit HostAssembly(HostAssemblyOptions options);
    std::expected<void, std::string> build();
    std::shared_ptr<host::SystemMedia> makeMedia();
    // Runs on the main executor, in place when already there (the application builds on it).
    template <class F>
    auto onMain(F&& fn) {
        if (main_->isCurrent()) return fn();
        return main_->sync(std::forward<F>(fn));
    }

    HostAssemblyOptions options_;
    std::unique_ptr<base::DispatchQueue> queue_;  // "zq2.host"
    std::unique_ptr<base::DispatchQueue> mainStandIn_;
    base::Executor* main_ = nullptr;
    std::unique_ptr<Backends> backends_;
    HostUiBackends ui_;
    std::shared_ptr<host::HostController> controller_;
};

}  // namespace orvanta::app
