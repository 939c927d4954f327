// The client side's one model: it owns the session (ConnectionManager) with its audio, the saved-host
// directory and its stores, and the outbound clipboard dialer; publishes what the client screens
// show; turns the user's actions into session operations; routes the video surface's input; keeps
// the host told the size of the video area; and sends the local clipboard into the session. Made
// once on the main executor and used there only; it never touches a toolkit.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Crypto.h"
#include "base/Executor.h"
#include "base/SecretStore.h"
#include "base/Settings.h"
#include "base/Url.h"
#include "client/directory/HostListStore.h"
#include "client/directory/Pairing.h"
#include "client/session/AudioSync.h"
#include "client/session/ConnectionManager.h"
#include "client/viewer/KeyMapping.h"
#include "client/viewer/Published.h"
#include "client/viewer/SurfaceInput.h"
#include "client/viewer/ViewerHandoffs.h"
#include "platform/AudioOutput.h"
#include "platform/ComputerName.h"
#include "platform/HttpClient.h"
#include "platform/SyncPasteboard.h"
#include "platform/WebSocketClient.h"

namespace orvanta::clipboard {
class ClipboardSync;
class ClipboardOutbound;
}  // namespace orvanta::clipboard

namespace orvanta::client {

// What the application makes for the client side before the model: executors, stores, network
// clients and the platform's pasteboard and sound. The clipboard hub is the application's, shared
// with the host side and installed before the model is made; it outlives the model.
struct ClientPlatform {
    base::Executor& main;
    const base::Clock& clock;
    std::shared_ptr<base::Settings> defaults;         // the standard settings
    std::shared_ptr<base::Settings> standaloneSuite;  // the earlier standalone client's, when there is one
    std::shared_ptr<base::SecretStore> secrets;
    std::shared_ptr<platform::WebSocketClient> sockets;
    std::shared_ptr<platform::HttpClient> http;
    std::shared_ptr<platform::SyncPasteboard> pasteboard;
    clipboard::ClipboardSync& hub;
    base::Executor& audioQueue;  // "clientcore.audio"; outlives the model
    platform::AudioOutputFactory audioOutput;
    // The main screen's backing scale; nothing without a screen.
    std::function<std::optional<double>()> mainScreenScale;
    std::filesystem::path machineInfo{platform::kMachineInfoPath};  // where the computer's pretty name is kept
};

// The connection manager's published state, republished field by field.
struct SessionPublished {
    Published<ConnectionManager::State> state{ConnectionManager::State::disconnected};
    Published<std::optional<std::string>> lastError;
    Published<std::optional<std::string>> hostEntryId;
    Published<std::string> baseURL;
    Published<bool> viewOnly{false};
    Published<std::optional<std::string>> inputNotice;
    Published<std::optional<std::string>> lockMessage;
    Published<std::optional<std::string>> hostName;
    Published<StreamSize> streamSize;
    Published<std::optional<protocol::CursorPosition>> cursor;
    Published<std::optional<protocol::CursorPosition::Shape>> visibleCursorShape;
    Published<bool> windowFitActive{false};
    Published<std::optional<std::string>> windowAppName;
    Published<ConnectionManager::WindowListState> windowListState{ConnectionManager::WindowListState::loaded};
    Published<std::vector<protocol::WindowListEntry>> windowList;
    Published<protocol::AppIcons> windowAppIcons;
    Published<std::vector<protocol::AppListEntry>> appList;
    Published<protocol::AppIcons> appListIcons;
    Published<std::shared_ptr<MediaAssembler>> assembler;
    Published<bool> hostAudioAvailable{false};
    Published<int> effectiveVideoDelayMillis{0};
    Published<std::optional<int>> audioLagMillis;
};

// The saved-host directory's published state.
struct HostsPublished {
    Published<std::vector<HostListStore::Entry>> entries;
    Published<std::optional<std::string>> selectedId;
};

class ClientModel final : public std::enable_shared_from_this<ClientModel> {
    struct Passkey {};

public:
    using State = ConnectionManager::State;

    static constexpr std::string_view kDeviceNameKey = "tessaril.client.deviceName";
    static constexpr std::string_view kSendClipboardKey = "tessaril.client.sendClipboard";
    static constexpr std::string_view kAudioEnabledKey = "tessaril.client.audioEnabled";
    static constexpr std::string_view kConnectFullScreenKey = "tessaril.client.connectFullScreen";
    static constexpr std::string_view kClientKind = "macos-desktop";
    static constexpr std::string_view kFallbackDeviceName = "Mac";

    static constexpr base::Micros kClipboardPollInterval{500'000};
    static constexpr base::Micros kFpsInterval{1'000'000};
    static constexpr base::Micros kViewportDebounce{300'000};

    static constexpr std::string_view kEnterAddressMessage = "接続先を入力してください";
    static constexpr std::string_view kCannotConnectMessage = "接続できません";
    static constexpr std::string_view kPairAgainMessage = "ペアリングし直してください";
    static constexpr std::string_view kCheckCodeMessage = "コードを確認してください";
    static constexpr std::string_view kInvalidAddressDetail = "http または https の接続先を入力してください。";

    // Imports the standalone client's settings once, registers the client's defaults, opens the
    // saved-host directory over the client's secret service and makes the model.
    static std::shared_ptr<ClientModel> create(ClientPlatform platform);
    ClientModel(Passkey, ClientPlatform platform, std::shared_ptr<HostListStore> hosts);
    ~ClientModel();
    ClientModel(const ClientModel&) = delete;
    ClientModel& operator=(const ClientModel&) = delete;

    // What the standalone import answered at creation: the keys copied, nothing when it had run.
    std::optional<int> standaloneImportCount() const { return standaloneImportCount_; }

    // ---- The later screens' hand-offs; do-nothing defaults until set.
    void setWindowState(std::shared_ptr<WindowStateHandoff> windowState);
    void setDebug(std::shared_ptr<DebugHandoff> debug);
    // The window of the client side, set by the client root view.
    void setWindow(std::weak_ptr<const MeasuredView> window) { window_ = std::move(window); }

    // ---- Owned services.
    ConnectionManager& connection() { return *connection_; }
    const ConnectionManager& connection() const { return *connection_; }
    HostListStore& hosts() { return *hosts_; }
    const HostListStore& hosts() const { return *hosts_; }

    // ---- Published state.
    const Published<bool>& showingConnectScreen() const { return showingConnectScreen_; }
    const Published<bool>& receivedFrame() const { return receivedFrame_; }
    const Published<std::optional<std::string>>& failedEntryID() const { return failedEntryID_; }
    const Published<bool>& needsPairing() const { return needsPairing_; }
    const Published<std::optional<std::string>>& errorMessage() const { return errorMessage_; }
    const Published<bool>& pairing() const { return pairing_; }
    const Published<bool>& showingWindowPicker() const { return showingWindowPicker_; }
    const Published<bool>& gameKeyboard() const { return gameKeyboard_; }
    const Published<int>& fps() const { return fps_; }
    const SessionPublished& session() const { return session_; }
    const HostsPublished& hostList() const { return hostList_; }

    void setShowingConnectScreen(bool showing);
    void setShowingWindowPicker(bool showing) { showingWindowPicker_.assign(showing); }
    // The add-and-pair form clears the last pairing's error text when it opens.
    void clearErrorMessage() { errorMessage_.assign(std::nullopt); }
    // A change releases held input.
    void setGameKeyboard(bool on);
    // Only the debug automation suspends local input.
    void setLocalInputSuspended(bool suspended) { localInputSuspended_ = suspended; }
    const GameKeys& gameKeys() const { return gameKeys_; }

    // ---- Derived values.
    std::optional<HostListStore::Entry> activeEntry() const;
    bool isSelfConnection() const;
    std::string deviceName() const;
    bool audioEnabled() const;
    std::string deviceId() const;

    // ---- User actions.
    void connect();
    // Pairs with the host at `address` and saves it; `done` runs on the main executor with the
    // outcome. False at once while a pairing runs.
    void addHost(const std::string& address, const std::string& code, HostListStore::Kind kind,
                 std::function<void(bool)> done);
    // The typed address as a base URL: http or https, a host, no user, password, query or fragment,
    // and no path but "/", since the session cannot reach a host under any other path.
    static std::expected<base::Url, PairingClient::Failure> validatedBaseURL(std::string_view address);
    bool removeHost(const std::string& id);

    bool canEditDisplaySettings() const;
    double aspectScale() const;
    void setAspectFit(bool on);
    void setAspectScale(double scale);

    // ---- Presentation, viewport and input.
    // Written by the window state: true then clientSideDidShow(), or clientSideWillHide() then false.
    void setPresented(bool presented) { isPresented_ = presented; }
    bool isPresented() const { return isPresented_; }
    void clientSideDidShow();
    void clientSideWillHide();
    void surfaceGeometryChanged(const std::shared_ptr<const MeasuredView>& view, bool force);
    void handle(const SurfaceInput& input);

    // The connection's viewport provider.
    ViewportMetrics currentViewport();

    // Picture bytes as PNG from the pasteboard: PNG kept as it is, any other picture converted.
    static std::optional<base::Bytes> pngData(platform::SyncPasteboard& pasteboard);
    // SHA-256 over "text:" and the text, or "image:" and the PNG bytes.
    static base::Sha256Digest clipboardDigest(const platform::PasteboardContent& content);

    static bool isLive(State state);
    static bool isInputState(State state);

private:
    void install();
    void subscribe();
    void syncSession();
    void syncHosts();
    void stateDidChange(State state);
    void markFailure(bool needsPairing);
    void frameArrived();
    void sendClipboardNow();
    void pollPasteboard();
    void startTimers();
    void stopTimers();
    ViewportMetrics presentedViewport() const;
    ViewportMetrics fallbackViewport(double height) const;
    std::optional<HostListStore::Entry> targetEntry() const;
    bool pairingFinished(const base::Url& url, HostListStore::Kind kind,
                         std::expected<PairingClient::Result, PairingClient::Error> result);
    void routeKey(const KeyEvent& event);
    std::vector<std::string> takeHeldKeyNames();
    void applyAudioSetting();
    void log(const std::string& line) const;

    // Declared in the order they are made; destroyed in reverse, so the dialer and the session go
    // before the stores and clients they refer to.
    ClientPlatform platform_;
    std::optional<int> standaloneImportCount_;
    std::shared_ptr<HostListStore> hosts_;
    std::shared_ptr<ConnectionAudio> audio_;
    std::shared_ptr<ConnectionManager> connection_;
    std::shared_ptr<clipboard::ClipboardOutbound> clipboardOutbound_;
    std::shared_ptr<WindowStateHandoff> windowState_ = std::make_shared<WindowStateHandoff>();
    std::shared_ptr<DebugHandoff> debug_ = std::make_shared<DebugHandoff>();

    bool awaitingFirstSessionFrame_ = false;
    Published<bool> showingConnectScreen_{false};
    Published<bool> receivedFrame_{false};
    Published<std::optional<std::string>> failedEntryID_;
    Published<bool> needsPairing_{false};
    Published<std::optional<std::string>> errorMessage_;
    Published<bool> pairing_{false};
    Published<bool> showingWindowPicker_{false};
    bool localInputSuspended_ = false;
    Published<bool> gameKeyboard_{false};
    GameKeys gameKeys_;
    KeyboardState keyboard_;
    Published<int> fps_{0};
    std::weak_ptr<const MeasuredView> surface_;
    std::weak_ptr<const MeasuredView> window_;
    bool isPresented_ = false;
    std::optional<ViewportMetrics> lastPresentedViewport_;
    bool forceNextViewport_ = false;
    base::TaskHandle viewportDebounce_;
    base::TaskHandle clipboardTimer_;
    std::int64_t lastPasteboardChange_ = 0;
    int frameCount_ = 0;
    base::TaskHandle fpsTimer_;
    std::optional<base::Sha256Digest> lastClipboardDigest_;
    platform::HttpRequestHandle pairingRequest_;

    SessionPublished session_;
    HostsPublished hostList_;
    std::optional<base::Settings::ObserverId> audioSettingObserver_;
    std::optional<HostListStore::ObserverId> hostsObserver_;
};

}  // namespace orvanta::client
