#include "app/Application.h"

#include <QGuiApplication>
#include <QScreen>

#include "base/FileSecretStore.h"
#include "base/JsonFileSettings.h"
#include "client/directory/CredentialStore.h"
#include "client/directory/StandaloneClientImport.h"
#include "clipboard/ClipboardSync.h"
#include "debug/ui/ClientAutomation.h"
#include "host/transport/Support.h"
#include "host/ui/HostSettingsView.h"
#include "host/ui/HostWindow.h"
#include "platform/ComputerName.h"
#include "platform/avahi/AvahiServiceBrowser.h"
#include "platform/beast/BeastHttpClient.h"
#include "platform/beast/BeastWebSocketClient.h"
#include "platform/pulse/PulseAudioOutput.h"
#include "platform/x11/X11Capabilities.h"

namespace orvanta::app {
namespace {

void hostLog(std::string_view line) { host::Log::info(line); }

}  // namespace

std::expected<std::unique_ptr<Application>, std::string> Application::create(ApplicationOptions options) {
    std::unique_ptr<Application> application(new Application);
    if (auto built = application->build(std::move(options)); !built) return std::unexpected(built.error());
    return application;
}

Application::~Application() {
    window_.reset();
    if (model_) model_->connection().disconnect();
    permissions_.reset();
    // The controller reaches the hub until it is gone; the client model holds it by reference.
    host_.reset();
    model_.reset();
    clipboard::ClipboardSync::setShared(nullptr);
    hub_.reset();
    clipboard::ClipboardSync::diagnosticLog = nullptr;
    probeQueue_.stop();
    audioQueue_.stop();
}

std::expected<void, std::string> Application::build(ApplicationOptions options) {
    clipboard::ClipboardSync::diagnosticLog = [](const std::string& line) { hostLog(line); };
    defaults_ = base::JsonFileSettings::openStandard(base::JsonFileSettings::defaultDirectory(),
                                                     [](const std::string& line) { hostLog(line); });
    pasteboard_ = std::make_shared<platform::qt::QtPasteboard>();
    images_ = std::make_shared<platform::qt::QtImageCodec>();
    startBackgroundConnections();

    // The host comes into being before the window's content and starts nothing yet.
    HostAssemblyOptions hostOptions;
    hostOptions.server = options.server;
    hostOptions.advertise = options.advertise;
    hostOptions.display = options.display;
    hostOptions.main = &main_;
    hostOptions.settings = defaults_;
    hostOptions.secrets = secrets_;
    hostOptions.clipboardHub = hub_.get();
    hostOptions.pairLinkLookup = options.pairLinkLookup;
    hostOptions.uiBackends = [this] {
        return HostUiBackends{.pasteboard = pasteboard_,
                              .images = images_,
                              .icons = std::make_shared<platform::qt::QtIconRenderer>(),
                              .toolkit = nullptr};
    };
    auto host = HostAssembly::create(std::move(hostOptions));
    if (!host) return std::unexpected(host.error());
    host_ = std::move(*host);

    auto& controller = host_->controller();
    auto published = controller.published();
    auto state = std::make_shared<host::ui::HostState>(published->state());
    published->onChange = [weak = std::weak_ptr(state), published = std::weak_ptr(published)] {
        const auto feed = weak.lock();
        const auto source = published.lock();
        if (feed && source) feed->assign(source->state());
    };
    auto weakController = std::weak_ptr(controller.shared_from_this());
    hostSource_ = {
        .state = state,
        .issueCode =
            [weakController] {
                if (auto c = weakController.lock()) c->issueCode();
            },
        .revoke =
            [weakController](const std::string& id, std::function<void(bool)> done) {
                if (auto c = weakController.lock()) c->revoke(id, std::move(done));
            },
        .setHighRes =
            [weakController](bool on) {
                if (auto c = weakController.lock()) c->setHighRes(on);
            },
        .setBlackout =
            [weakController](bool on) {
                if (auto c = weakController.lock()) c->setBlackout(on);
            },
        .copy = [board = pasteboard_](const std::string& text) { return board->writeText(text); },
    };
    permissions_ = std::make_shared<host::ui::PermissionCenter>(
        main_, probeQueue_,
        host::ui::PermissionCenter::Sources{.capabilities =
                                                [display = options.display] {
                                                    const auto offered = platform::x11::queryCapabilities(display);
                                                    return offered ? host::ui::HostCapabilities{offered->capture,
                                                                                                offered->input}
                                                                   : host::ui::HostCapabilities{};
                                                },
                                            .probe = {}});
    buildWindow();
    return {};
}

// The one clipboard hub first, then the client's model with its saved hosts, connection manager
// and clipboard dialer.
void Application::startBackgroundConnections() {
    secrets_ = std::make_shared<base::FileSecretStore>(base::FileSecretStore::defaultDirectory());
    auto secrets = secrets_;
    auto defaults = defaults_;
    hub_ = std::make_unique<clipboard::ClipboardSync>(main_, *defaults_, *pasteboard_, *images_, [secrets, defaults] {
        return client::DeviceIdentity::persistentID(
            client::CredentialStore(secrets), std::string(client::CredentialStore::kMacClientService),
            client::DeviceIdentity::kMacClientLegacyDefaultsKey, *defaults, client::DeviceIdentity::kMacClientPrefix);
    });
    clipboard::ClipboardSync::setShared(hub_.get());
    auto standalone = base::JsonFileSettings::openSuite(base::JsonFileSettings::defaultDirectory(),
                                                        client::StandaloneClientImport::kSuiteName);
    debug_ = debug::DebugSupport::create(debug::environmentSnapshot(), main_, base::SystemClock::shared(), "orvanta");
    model_ = client::ClientModel::create({
        .main = main_,
        .clock = base::SystemClock::shared(),
        .defaults = defaults_,
        .standaloneSuite = standalone ? std::shared_ptr<base::Settings>(*standalone) : nullptr,
        .secrets = secrets,
        .sockets = std::make_shared<platform::BeastWebSocketClient>(),
        .http = std::make_shared<platform::BeastHttpClient>(),
        .pasteboard = pasteboard_,
        .hub = *hub_,
        .audioQueue = audioQueue_,
        .audioOutput = [] { return std::make_unique<platform::pulse::PulseAudioOutput>(); },
        .mainScreenScale = []() -> std::optional<double> {
            const QScreen* screen = QGuiApplication::primaryScreen();
            return screen ? std::optional(screen->devicePixelRatio()) : std::nullopt;
        },
    });
}

void Application::buildWindow() {
    model_->setDebug(debug_);
    if (auto note = client::ClientWindow::importNote(*model_)) debug_->addPendingNote(*note);
    windowState_ = client::UnifiedWindowState::create(main_, model_, debug_);
    const auto computer = platform::computerName(platform::kMachineInfoPath);
    host::ui::SettingsPageParts settingsParts{.permissions = permissions_,
                                              .defaults = defaults_,
                                              .model = model_,
                                              .hub = hub_.get(),
                                              .windowState = windowState_,
                                              .computerName = computer,
                                              .log = hostLog,
                                              .appVersion = {},
                                              .appBuild = {}};
    window_ = std::make_unique<client::UnifiedWindow>(client::UnifiedWindowParts{
        .client = {.main = main_,
                   .clock = base::SystemClock::shared(),
                   .model = model_,
                   .windowState = windowState_,
                   .defaults = defaults_,
                   .hub = *hub_,
                   .browsers = [this](std::string_view type,
                                      std::string_view domain) -> std::unique_ptr<platform::ServiceBrowser> {
                       return std::make_unique<platform::AvahiServiceBrowser>(main_, std::string(type),
                                                                              std::string(domain));
                   }},
        .hub = *hub_,
        .hostSide = [this](QWidget* parent) -> QWidget* {
            return new host::ui::HostWindow(hostSource_, nullptr, parent);
        },
        .settingsPage = [this, settingsParts](QWidget* parent) -> QWidget* {
            return new host::ui::HostSettingsView(hostSource_, settingsParts, parent);
        },
        .computerName = computer,
        .firstShown =
            [this] {
                permissions_->refresh();
                host_->start();
            },
        .fittingHeight =
            [this](double width) {
                constexpr int kSeparator = 1;
                constexpr int kContentInset = 40;
                return double(window_->navigation()->sizeHint().height() + kSeparator +
                              host::ui::HostWindow::measuredHeight(hostSource_, int(width) - kContentInset));
            },
    });
    debug::installClientAutomation(debug_, model_, windowState_, *window_);
    subscriptions_.push_back(hostSource_.state->observe([this](const auto&) { refreshDiscoveryDenied(); }));
    subscriptions_.push_back(permissions_->observe([this] { refreshDiscoveryDenied(); }));
    QObject::connect(qGuiApp, &QGuiApplication::applicationStateChanged, window_.get(), [this](Qt::ApplicationState s) {
        if (s == Qt::ApplicationActive) permissions_->refresh();
    });
}

void Application::refreshDiscoveryDenied() {
    const bool denied =
        (*hostSource_.state)().bonjourPolicyDenied ||
        permissions_->status(host::HostPermission::localNetwork, false).kind == host::PermissionStatus::Kind::denied;
    window_->setDiscoveryDenied(denied);
}

void Application::openWindow() { window_->openWindow(); }

}  // namespace orvanta::app
