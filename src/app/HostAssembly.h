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
#include "base/SecretStore.h"
#include "base/Settings.h"
#include "host/controller/HostController.h"
#include "host/transport/HTTPServer.h"
#include "platform/IconRenderer.h"
#include "platform/ImageCodec.h"
#include "platform/SyncPasteboard.h"

namespace orvanta::host {
class SystemMedia;
}
namespace orvanta::clipboard {
class ClipboardSync;
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
    // The stored settings and secrets; nothing: the user's standard ones. One store per file and
    // process, so an application that reads them too passes its own.
    std::shared_ptr<base::Settings> settings;
    std::shared_ptr<base::SecretStore> secrets;
    // The process's clipboard hub when the application installed it before anything that uses
    // it; nothing: the assembly builds and installs its own.
    clipboard::ClipboardSync* clipboardHub = nullptr;
    // The pair link of a displayed code; nothing: the Tailscale tool's.
    std::function<std::optional<std::string>(const std::string& code)> pairLinkLookup;
};

class HostAssembly {
public:
    // Why the host cannot run here: no X display, or no stores. Made and destroyed on the main
    // thread or off it, reaching it synchronously then.
    static std::expected<std::unique_ptr<HostAssembly>, std::string> create(HostAssemblyOptions options);
    // Shuts the controller down on its queue, then stops every queue before the backends go.
    ~HostAssembly();
    HostAssembly(const HostAssembly&) = delete;
    HostAssembly& operator=(const HostAssembly&) = delete;

    void start() { controller_->start(); }
    host::HostController& controller() { return *controller_; }
    base::DispatchQueue& queue() { return *queue_; }
    base::Executor& main() { return *main_; }
    // The process's clipboard hub over the system pasteboard, built from the stored setting and
    // installed as the shared one; used on the main thread only, gone with the assembly.
    clipboard::ClipboardSync& clipboardHub() { return hub_ ? *hub_ : *options_.clipboardHub; }

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
    std::shared_ptr<base::Settings> settings_;
    std::unique_ptr<clipboard::ClipboardSync> hub_;  // main thread
    std::shared_ptr<host::HostController> controller_;
};

}  // namespace orvanta::app
