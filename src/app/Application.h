// The application: the process-wide services in their start-up order and the one window. The
// clipboard hub's diagnostic lines go to the host log; then the hub is installed and the client's
// background connections start; then the host is assembled, before the window's content, and it
// starts listening when the window is first shown. Made and destroyed on the GUI thread, after the
// toolkit's application object.
#pragma once

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/HostAssembly.h"
#include "base/DispatchQueue.h"
#include "client/ui/UnifiedWindow.h"
#include "debug/DebugSupport.h"
#include "host/ui/HostScreenSource.h"
#include "host/ui/PermissionCenter.h"
#include "platform/qt/QtIconRenderer.h"
#include "platform/qt/QtImageCodec.h"
#include "platform/qt/QtMainExecutor.h"
#include "platform/qt/QtPasteboard.h"

namespace orvanta::clipboard {
class ClipboardSync;
}

namespace orvanta::app {

struct ApplicationOptions {
    host::HTTPServerOptions server;  // the standard ports unless told otherwise
    bool advertise = true;           // nearby clients find the LAN listener over DNS-SD
    std::string display;             // the X display; empty: $DISPLAY
    // The pair link of a displayed code; nothing: the Tailscale tool's.
    std::function<std::optional<std::string>(const std::string& code)> pairLinkLookup;
};

class Application {
public:
    static std::expected<std::unique_ptr<Application>, std::string> create(ApplicationOptions options);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Shows the window, or brings it forward.
    void openWindow();

    client::UnifiedWindow& window() { return *window_; }
    HostAssembly& host() { return *host_; }
    host::ui::PermissionCenter& permissions() { return *permissions_; }
    const host::ui::HostScreenSource& hostSource() const { return hostSource_; }
    base::Executor& main() { return main_; }

private:
    Application() = default;
    std::expected<void, std::string> build(ApplicationOptions options);
    void startBackgroundConnections();
    void buildWindow();
    void refreshDiscoveryDenied();

    platform::qt::QtMainExecutor main_;
    base::DispatchQueue audioQueue_{"clientcore.audio"};
    base::DispatchQueue probeQueue_{"tessaril.localnetwork.probe"};
    std::shared_ptr<base::Settings> defaults_;
    std::shared_ptr<base::SecretStore> secrets_;
    std::shared_ptr<platform::qt::QtPasteboard> pasteboard_;
    std::shared_ptr<platform::qt::QtImageCodec> images_;
    std::unique_ptr<clipboard::ClipboardSync> hub_;
    std::shared_ptr<debug::DebugSupport> debug_;
    std::shared_ptr<client::ClientModel> model_;
    std::unique_ptr<HostAssembly> host_;
    host::ui::HostScreenSource hostSource_;
    std::shared_ptr<host::ui::PermissionCenter> permissions_;
    std::shared_ptr<client::UnifiedWindowState> windowState_;
    std::unique_ptr<client::UnifiedWindow> window_;
    std::vector<client::Subscription> subscriptions_;
};

}  // namespace orvanta::app
