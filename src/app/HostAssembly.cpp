#include "app/HostAssembly.h"

#include "base/Clock.h"
#include "base/FileSecretStore.h"
#include "base/JsonFileSettings.h"
#include "client/directory/CredentialStore.h"
#include "clipboard/ClipboardSync.h"
#include "host/controller/HostAspectAdapters.h"
#include "host/controller/HostControlAdapters.h"
#include "host/controller/HostDisplayAdapters.h"
#include "host/controller/HostFitAdapters.h"
#include "host/controller/HostMediaAdapters.h"
#include "host/controller/SharedClipboardHub.h"
#include "host/controller/SystemDesktopApps.h"
#include "host/desktop/AppCatalog.h"
#include "host/desktop/InputInjector.h"
#include "host/desktop/LockUnlocker.h"
#include "host/desktop/WindowManager.h"
#include "host/media/Blackout.h"
#include "host/media/BlackoutDebugSnapshot.h"
#include "host/media/DualCaptureTest.h"
#include "host/media/VideoSender.h"
#include "host/media/VirtualDisplay.h"
#include "host/transport/HostPairLink.h"
#include "host/transport/Support.h"
#include "platform/PosixProcessRunner.h"
#include "platform/avahi/AvahiServiceAdvertiser.h"
#include "platform/gio/GioAppDirectory.h"
#include "platform/logind/LogindSessionState.h"
#include "platform/pulse/PulseSystemAudioSource.h"
#include "platform/x11/X11CompositorFrameComposer.h"
#include "platform/x11/X11Cover.h"
#include "platform/x11/X11CursorSampler.h"
#include "platform/x11/X11DisplayAreas.h"
#include "platform/x11/X11DisplaySleep.h"
#include "platform/x11/X11InputSink.h"
#include "platform/x11/X11Keyboard.h"
#include "platform/x11/X11ScreenSource.h"
#include "platform/x11/X11VirtualDisplay.h"
#include "platform/x11/X11WindowSystem.h"
#include "platform/x11/XConnection.h"

namespace orvanta::app {
namespace {

using namespace platform::x11;

void hostLog(std::string_view line) { host::Log::info(line); }

// Without --advertise the LAN listener still serves; it is only not announced.
class SilentAdvertiser final : public platform::ServiceAdvertiser {
public:
    void publish(const platform::ServiceRegistration&) override {}
    void withdraw() override {}
};

// The hub labels this machine's clipboard contents with the desktop client's device identifier.
std::unique_ptr<clipboard::ClipboardSync> makeClipboardHub(base::Executor& main, const HostUiBackends& ui,
                                                           const std::shared_ptr<base::Settings>& settings,
                                                           const std::shared_ptr<base::SecretStore>& secrets) {
    auto identity = [settings, secrets] {
        namespace identity = client::DeviceIdentity;
        return identity::persistentID(client::CredentialStore(secrets),
                                      std::string(client::CredentialStore::kMacClientService),
                                      identity::kMacClientLegacyDefaultsKey, *settings, identity::kMacClientPrefix);
    };
    if (!clipboard::ClipboardSync::diagnosticLog) {
        clipboard::ClipboardSync::diagnosticLog = [](const std::string& line) { hostLog(line); };
    }
    auto hub = std::make_unique<clipboard::ClipboardSync>(main, *settings, *ui.pasteboard, *ui.images, identity);
    clipboard::ClipboardSync::setShared(hub.get());
    return hub;
}

template <class T>
std::expected<T, std::string> opened(std::expected<T, std::string> backend, std::string_view what) {
    if (!backend) return std::unexpected(std::string(what) + ": " + backend.error());
    return backend;
}

}  // namespace

// Declared in the order they are made; destroyed in reverse, after every queue has stopped.
struct HostAssembly::Backends {
    base::DispatchQueue utility{"zq2.utility"};
    base::DispatchQueue unlock{"zq2.unlock"};
    base::DispatchQueue audio{"zq2.audio"};
    base::DispatchQueue encoderStart{"zq2.encoder"};
    base::DispatchQueue cursorSamples{"zq2.cursor"};
    base::DispatchQueue release{"zq2.release"};
    base::DispatchQueue fitTasks{"zq2.fit"};
    base::DispatchQueue displayQueue{"zq2.vdisplay"};
    base::DispatchQueue aspectWindows{"zq2.aspect.windows"};

    std::shared_ptr<platform::ServiceAdvertiser> advertiser;
    std::unique_ptr<X11InputSink> inputSink;  // used on "zq2.host"
    std::unique_ptr<host::InputInjector> injector;
    std::unique_ptr<X11InputSink> unlockSink;  // used on "zq2.unlock"
    std::unique_ptr<platform::logind::LogindSessionState> session;
    std::shared_ptr<X11DisplaySleep> displaySleep;
    std::unique_ptr<XConnection> layoutConnection;  // main thread
    std::unique_ptr<X11KeyboardLayout> layout;
    std::unique_ptr<X11BlackoutCovers> covers;
    std::shared_ptr<host::BlackoutOverlay> overlay;
    std::unique_ptr<host::VideoSender> sender;
    std::shared_ptr<host::SystemMedia> media;
    std::unique_ptr<X11VirtualDisplayFactory> virtualDisplays;
    std::shared_ptr<X11WindowSystem> windows;  // main thread, and capture for window frames
    platform::gio::GioAppDirectory appDirectory;
    std::unique_ptr<host::AppCatalog> catalog;
    std::unique_ptr<host::WindowManager> windowManager;
    platform::PosixProcessRunner runner;
};

std::expected<std::unique_ptr<HostAssembly>, std::string> HostAssembly::create(HostAssemblyOptions options) {
    std::unique_ptr<HostAssembly> assembly(new HostAssembly(std::move(options)));
    if (auto built = assembly->build(); !built) return std::unexpected(built.error());
    return assembly;
}

HostAssembly::HostAssembly(HostAssemblyOptions options)
    : options_(std::move(options)), queue_(std::make_unique<base::DispatchQueue>("zq2.host")) {
    if (!options_.main) mainStandIn_ = std::make_unique<base::DispatchQueue>("main");
    main_ = options_.main ? options_.main : mainStandIn_.get();
}

HostAssembly::~HostAssembly() {
    // The server, the sessions, their connections and the pipeline belong to the controller's
    // queue. Tearing a capture down there waits for its frame thread, so no encoder output may be
    // waiting for that queue by then.
    if (backends_ && backends_->media) backends_->media->close();
    if (controller_) {
        queue_->sync([this] {
            controller_->stop();
            controller_.reset();
        });
    }
    queue_->stop();
    // The captures the controller let go are ended there, each joining its threads, while
    // everything they use is still here.
    if (backends_) backends_->release.sync([] {});
    if (backends_) {
        for (auto* queue : {&backends_->unlock, &backends_->utility, &backends_->audio, &backends_->encoderStart,
                            &backends_->cursorSamples, &backends_->release, &backends_->fitTasks,
                            &backends_->displayQueue, &backends_->aspectWindows}) {
            queue->stop();
        }
    }
    onMain([this] {
        hub_.reset();
        if (backends_) {
            backends_->catalog.reset();
            backends_->windowManager.reset();
        }
        auto toolkit = std::move(ui_.toolkit);
        ui_ = {};
    });
    if (mainStandIn_) mainStandIn_->stop();
}

std::optional<std::uint16_t> HostAssembly::loopbackPort() {
    return queue_->sync([this] { return controller_->loopbackPort(); });
}

std::optional<std::uint16_t> HostAssembly::lanPort() {
    return queue_->sync([this] { return controller_->lanPort(); });
}

// Capture reads the blackout covers it leaves out from the overlay, made before it.
std::shared_ptr<host::SystemMedia> HostAssembly::makeMedia() {
    auto& b = *backends_;
    host::SystemMediaParts parts;
    const auto composer = X11CompositorFrameComposer::create(b.utility, options_.display);
    parts.capture.source = std::make_shared<X11ScreenSource>(options_.display, composer);
    parts.capture.coverIDs = [overlay = b.overlay] {
        return overlay ? overlay->currentIDs() : host::BlackoutOverlay::CoverIDs{};
    };
    // A fitted window was just moved: capture and pointer follow the area it shows now, not the
    // one listed before the move. Held shared, as a capture may outlive the assembly's teardown.
    parts.capture.contentBounds = [windows = b.windows](std::uint32_t id) -> std::optional<platform::ScreenRect> {
        const auto frame = host::WindowManager::contentBounds(*windows, id);
        if (!frame) return std::nullopt;
        return platform::ScreenRect{frame->x, frame->y, frame->width, frame->height};
    };
    parts.capture.log = hostLog;
    parts.audioSource = [] { return std::make_unique<platform::pulse::PulseSystemAudioSource>(); };
    parts.audioQueue = &b.audio;
    parts.cursorQueue = queue_.get();
    parts.cursorSampleQueue = &b.cursorSamples;
    parts.releaseQueue = &b.release;
    if (auto sampler = X11CursorSampler::open(options_.display)) {
        parts.cursorSampler = std::move(*sampler);
    } else {
        hostLog("cursor images unavailable: " + sampler.error());
    }
    parts.log = hostLog;
    return std::make_shared<host::SystemMedia>(std::move(parts));
}

std::expected<void, std::string> HostAssembly::build() {
    backends_ = std::make_unique<Backends>();
    auto& b = *backends_;
    const std::string& display = options_.display;
    auto& clock = base::SystemClock::shared();

    auto sink = opened(X11InputSink::open(*queue_, display), "X input");
    if (!sink) return std::unexpected(sink.error());
    b.inputSink = std::move(*sink);
    b.injector = std::make_unique<host::InputInjector>(*queue_, clock, *b.inputSink);
    auto unlockSink = opened(X11InputSink::open(b.unlock, display), "X input for unlock");
    if (!unlockSink) return std::unexpected(unlockSink.error());
    b.unlockSink = std::move(*unlockSink);
    platform::logind::LogindSessionState::Options sessionOptions;
    sessionOptions.display = display;
    b.session = std::make_unique<platform::logind::LogindSessionState>(sessionOptions);
    auto sleep = opened(X11DisplaySleep::open(display), "X display sleep");
    if (!sleep) return std::unexpected(sleep.error());
    b.displaySleep = std::move(*sleep);
    auto layoutConnection = opened(XConnection::open(display), "X keyboard layout");
    if (!layoutConnection) return std::unexpected(layoutConnection.error());
    b.layoutConnection = std::move(*layoutConnection);
    b.layout = std::make_unique<X11KeyboardLayout>(*b.layoutConnection);
    auto windows = opened(X11WindowSystem::open(display), "X windows");
    if (!windows) return std::unexpected(windows.error());
    b.windows = std::move(*windows);

    const auto secrets = options_.secrets ? options_.secrets
                                          : std::make_shared<base::FileSecretStore>(
                                                base::FileSecretStore::defaultDirectory());
    settings_ = options_.settings ? options_.settings
                                  : base::JsonFileSettings::openStandard(base::JsonFileSettings::defaultDirectory(),
                                                                         [](const std::string& line) { hostLog(line); });
    ui_ = onMain([&] {
        auto ui = options_.uiBackends ? options_.uiBackends() : HostUiBackends{};
        if (ui.pasteboard && ui.images && !options_.clipboardHub)
            hub_ = makeClipboardHub(*main_, ui, settings_, secrets);
        return ui;
    });
    if (!ui_.pasteboard || !ui_.images || !ui_.icons) return std::unexpected("no pasteboard, pictures or icons");
    b.catalog = std::make_unique<host::AppCatalog>(b.appDirectory, *b.windows, *ui_.icons, hostLog);
    b.windowManager = std::make_unique<host::WindowManager>(*b.windows, *ui_.icons, clock, hostLog);

    if (options_.advertise) {
        b.advertiser = std::make_shared<platform::AvahiServiceAdvertiser>(*queue_);
    } else {
        b.advertiser = std::make_shared<SilentAdvertiser>();
    }
    b.sender = std::make_unique<host::VideoSender>(clock, hostLog);

    host::HostControllerDependencies dependencies;
    dependencies.queue = queue_.get();
    dependencies.main = main_;
    dependencies.utility = &b.utility;
    dependencies.clock = &clock;
    dependencies.registry = std::make_shared<host::DeviceRegistry>(secrets);
    dependencies.settings = settings_;
    dependencies.advertiser = b.advertiser;
    dependencies.serverOptions = options_.server;
    dependencies.pairLinkLookup = options_.pairLinkLookup ? options_.pairLinkLookup
                                                          : [&runner = b.runner](const std::string& code) {
                                                                return host::HostPairLink::lookup(code, runner);
                                                            };

    auto& components = dependencies.components;
    components.input = std::make_shared<host::InjectorInput>(*b.injector,
                                                             [&sink = *b.inputSink] { return sink.trusted(); });
    components.unlockEnvironment =
        std::make_shared<host::SystemUnlockEnvironment>(*b.unlockSink, *b.session, *b.displaySleep);
    components.sender = std::make_shared<host::VideoSenderView>(*b.sender);
    if (auto covers = X11BlackoutCovers::open(display)) {
        b.covers = std::move(*covers);
        b.overlay = host::BlackoutOverlay::create(*main_, *b.covers, hostLog);
        components.blackout = std::make_shared<host::BlackoutView>(b.overlay);
    } else {
        hostLog("blackout unavailable: " + covers.error());
    }
    b.media = makeMedia();
    components.media = b.media;
    components.encoderQueue = &b.encoderStart;
    // The diagnostics grab through a screen source of their own, never the pipeline's.
    auto diagnosticsSource = std::make_shared<X11ScreenSource>(display);
    if (b.overlay) {
        components.blackoutSnapshot = [overlay = b.overlay, &main = *main_, &work = b.utility,
                                       diagnosticsSource](const std::string& prefix) {
            host::BlackoutDebugSnapshot::install(*overlay, prefix, {main, work, diagnosticsSource, hostLog});
        };
    }
    components.dualCaptureTest = [&work = b.utility, diagnosticsSource] {
        return host::DualCaptureTest::create(diagnosticsSource, work, hostLog);
    };
    auto planUnlock = [&layout = *b.layout](const std::string& password) {
        return host::UnlockKeymap::plan(password, host::UnlockKeymap::currentASCIICapable(layout));
    };
    components.simulatedUnlock = [planUnlock](const std::string& password) -> std::shared_ptr<host::UnlockEnvironment> {
        auto strokes = planUnlock(password).value_or(std::vector<host::UnlockKeystroke>{});
        return std::make_shared<host::SimulatedUnlockEnvironment>(std::move(strokes), hostLog);
    };

    // Virtual displays: a run that crashed with one in place left the arrangement changed.
    if (auto factory = X11VirtualDisplayFactory::open(display)) {
        b.virtualDisplays = std::move(*factory);
        if (auto recovered = b.virtualDisplays->recoverAfterCrash(); !recovered) {
            hostLog("virtual display recovery failed: " + recovered.error());
        } else if (*recovered == platform::x11::CrashRecovery::restored) {
            hostLog("virtual display: restored the arrangement a previous run left behind");
        } else if (*recovered == platform::x11::CrashRecovery::dropped) {
            hostLog(
                "virtual display: dropped the arrangement a previous run saved, since this X server holds no "
                "display of ours");
        }
        // Then the windows that run had moved onto its virtual display.
        const auto framesFile = host::aspectFramesFile(X11VirtualDisplayFactory::defaultStateFile(display));
        host::recoverAspectWindowsAfterCrash(*b.windowManager, framesFile, hostLog);
        if (auto areas = X11DisplayAreas::open(display)) {
            components.aspectWindows = std::make_shared<host::SystemAspectWindows>(
                *b.windowManager, *b.windows, b.aspectWindows, std::move(*areas), framesFile);
        } else {
            hostLog("window migration unavailable: " + areas.error());
        }
        components.virtualDisplaysAvailable = b.virtualDisplays->isAvailable();
        if (auto configuration = X11DisplayConfiguration::open(display)) {
            components.displays = std::make_shared<host::SystemHostDisplays>(
                std::make_shared<host::VirtualDisplayService>(*b.virtualDisplays, b.displayQueue, hostLog),
                std::move(*configuration), b.displayQueue);
        } else {
            hostLog("display arrangement unavailable: " + configuration.error());
        }
    } else {
        hostLog("virtual displays unavailable: " + factory.error());
    }
    components.fitWindows = std::make_shared<host::FitWindowsAdapter>(*b.windows, *b.windowManager, *b.inputSink,
                                                                      b.fitTasks, clock, hostLog);

    dependencies.control = {.clipboard = std::make_shared<host::SharedClipboardHub>(*ui_.pasteboard, *ui_.images),
                            .planUnlock = planUnlock,
                            .unlockQueue = &b.unlock,
                            .displaySleep = b.displaySleep,
                            .apps = std::make_shared<host::SystemDesktopApps>(
                                *b.catalog, *b.windowManager, b.appDirectory,
                                host::AppCatalog::applicationDirectories(), hostLog)};

    controller_ = host::HostController::create(std::move(dependencies));
    return {};
}

}  // namespace orvanta::app
