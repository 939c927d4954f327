// The client's session with one host: the control and media channels, the hello, welcome and auth
// handshake, the connection state machine with teardown and reconnection, and every request and
// input message the client sends. Everything runs on the main executor; asynchronous steps hold the
// manager weakly and drop their work once the attempt's generation has changed.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.h"
#include "base/Executor.h"
#include "base/Settings.h"
#include "client/directory/HostListStore.h"
#include "client/session/SeparateCursorState.h"
#include "client/session/SessionMedia.h"
#include "platform/WebSocketClient.h"
#include "protocol/ControlMessages.h"

namespace orvanta::client {

class ControlSendChain;

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool operator==(const Rect&) const = default;
};

// The video view: bounds in points and the backing scale (pixels per point).
struct ViewportMetrics {
    Rect bounds;
    double scale = 1;
    bool operator==(const ViewportMetrics&) const = default;
};

struct StreamSize {
    double width = 0;
    double height = 0;
    bool operator==(const StreamSize&) const = default;
};

class ConnectionManager final : public VideoSource, public std::enable_shared_from_this<ConnectionManager> {
    struct Passkey {};

public:
    enum class State {
        disconnected,
        connecting,
        connected,
        locked,
        busy,
        controller,
        takenOver,
        recovering,
        decodeError,
        authFailed,
        revoked,
    };
    static std::string_view rawValue(State state);
    static std::optional<State> stateFromRawValue(std::string_view raw);

    enum class WindowListState { loading, loaded, failed };

    // Failures of the host's messages, shown as lastError.
    enum class ConnectionError { invalidControlMessage, invalidVideoMessage, unexpectedWelcome };
    static std::string_view describe(ConnectionError error);

    using Generation = std::string;  // a fresh UUID per connection attempt
    using ObserverId = std::uint64_t;

    static constexpr std::string_view kDisplayAspectFitKey = "lumicrate.displayAspectFit";
    static constexpr std::string_view kDisplayAspectScaleKey = "lumicrate.displayAspectScale";
    static constexpr double kMinDisplayAspectScale = 0.1;
    static constexpr double kMaxDisplayAspectScale = 2.0;
    static constexpr std::array<double, 9> kDisplayAspectScaleChoices = {0.1,  0.25, 0.5,  0.75, 1.0,
                                                                         1.25, 1.5,  1.75, 2.0};
    // Room for the largest media packet (4 MiB payload, header) and nothing much more.
    static constexpr std::size_t kMaxMessageBytes = 4'195'352;
    static constexpr base::Micros kWindowListTimeout{10'000'000};
    static constexpr base::Micros kDrainWatchdog{500'000};
    static constexpr std::string_view kGiveUpMessage =
        "接続できませんでした。MacでOrvantaが起動しているか、Tailscaleがつながっているか、接続先のアドレスを確認"
        "してください。";
    static constexpr std::string_view kCredentialsMissingMessage = "deviceToken と deviceId を設定してください。";
    static constexpr std::string_view kBadBaseURLMessage =
        "接続先には http または https のベースURLを指定してください。";
    static constexpr std::string_view kAccessibilityNeededMessage =
        "入力には Mac の「アクセシビリティ」で Orvanta の許可が必要です";

    // A non-finite scale gives 1; any other is clamped to the scale range.
    static double clampedDisplayAspectScale(double scale);
    // Input sequence numbers run 1 ... 4294967295 and then 1 again; 0 is never sent.
    static std::uint32_t followingInputSeq(std::uint32_t last);

    // `defaults` holds the display-aspect settings; `clock` is the monotonic uptime clock.
    static std::shared_ptr<ConnectionManager> create(base::Executor& main, const base::Clock& clock,
                                                     std::shared_ptr<platform::WebSocketClient> sockets,
                                                     std::shared_ptr<base::Settings> defaults);
    ConnectionManager(Passkey, base::Executor& main, const base::Clock& clock,
                      std::shared_ptr<platform::WebSocketClient> sockets, std::shared_ptr<base::Settings> defaults);
    ~ConnectionManager() override;
    ConnectionManager(const ConnectionManager&) = delete;
    ConnectionManager& operator=(const ConnectionManager&) = delete;

    // ---- Configuration, set by the owner before connecting.
    std::shared_ptr<HostListStore> hostStore;  // roles are neither read nor recorded without one
    protocol::DeviceIdiom idiom = protocol::DeviceIdiom::pad;
    std::optional<std::string> clientKind;
    std::function<ViewportMetrics()> viewportProvider;
    std::function<bool()> displayAspectFitProvider;
    std::function<double()> displayAspectScaleProvider;
    std::function<bool()> displayFitRequestsAllowedProvider;
    std::function<bool()> lowPowerModeProvider;
    // Hands over, and forgets, the names of the keys the interface holds down.
    std::function<std::vector<std::string>()> takeHeldKeyNames;
    std::function<void()> onSessionEstablished;
    std::function<void(std::shared_ptr<const VideoSample>)> onFrame;
    // A new assembler for each connection attempt (a StreamAssembler unless replaced); none means
    // video is dropped.
    std::function<std::shared_ptr<MediaAssembler>()> makeAssembler;
    // The audio side; none means audio packets are dropped.
    std::shared_ptr<SessionAudio> audio;

    // ---- Published state. Observers run after each change, on the main executor.
    ObserverId observe(std::function<void()> onChange);
    // Runs at once with the current state, then after each change of it.
    ObserverId observeState(std::function<void(State)> onState);
    void removeObserver(ObserverId id);

    State state() const { return state_; }
    const std::string& baseURL() const { return baseURL_; }
    const std::optional<std::string>& lastError() const { return lastError_; }
    const std::optional<protocol::CursorPosition>& cursor() const { return cursor_; }
    const std::optional<protocol::CursorPosition::Shape>& visibleCursorShape() const { return visibleCursorShape_; }
    StreamSize streamSize() const { return streamSize_; }
    const std::optional<std::string>& hostName() const { return hostName_; }
    bool viewOnly() const { return viewOnly_; }
    const std::optional<std::string>& inputNotice() const { return inputNotice_; }
    const std::optional<std::string>& lockMessage() const { return lockMessage_; }
    bool windowFitActive() const { return windowFitActive_; }
    const std::optional<std::string>& windowAppName() const { return windowAppName_; }
    WindowListState windowListState() const { return windowListState_; }
    const std::vector<protocol::WindowListEntry>& windowList() const { return windowList_; }
    const protocol::AppIcons& windowAppIcons() const { return windowAppIcons_; }
    const std::vector<protocol::AppListEntry>& appList() const { return appList_; }
    const protocol::AppIcons& appListIcons() const { return appListIcons_; }
    const std::shared_ptr<MediaAssembler>& assembler() const { return assembler_; }
    const std::optional<std::string>& hostEntryId() const { return hostEntryId_; }

    // ---- Derived values.
    // Bounds times scale, rounded half away from zero, at least 1 on each side.
    protocol::Viewport pixelViewport() const;
    bool inputAllowed() const;
    std::optional<Generation> keyboardInputGeneration() const;
    // Plain http only to a loopback host, so the password never crosses a network in clear.
    bool canSendUnlock() const;

    // ---- The video surface's hand-off: samples of the current attempt after its welcome, with the
    // video delay in force.
    void bindVideoDisplay(std::weak_ptr<VideoDisplay> display) override;
    void unbindVideoDisplay() override;
    bool videoDisplayFailed() override;

    // ---- Connecting and ending.
    void connect(const HostListStore::Entry& entry, std::string token, std::string deviceId, bool separateCursor);
    void connect();
    void reconnect();
    void disconnect();

    // ---- Outbound requests and input.
    void sendRequestKeyframe();
    void sendPointer(std::string action, std::optional<double> x = {}, std::optional<double> y = {},
                     std::optional<double> dx = {}, std::optional<double> dy = {},
                     std::optional<std::int64_t> clickState = {});
    void sendKey(std::string name, bool command, bool control, bool option, bool shift,
                 std::optional<protocol::KeyInput::Phase> phase = {});
    bool sendText(std::string text);
    void releaseHeldKeys();
    void releaseInput();
    bool sendUnlock(std::string password);
    void takeOver();
    void joinAsController();
    void promoteToMain();
    void setWindowFit(bool on);
    void fitWindow(const protocol::WindowListEntry& entry);
    void setDisplayAspectFit(bool active);
    void displayAspectScaleDidChange();
    void sendDisplayAspectFit(bool active, bool force);
    void viewportDidChange();
    void sendViewportUpdate(bool force);
    void sendClipboardText(std::string text);
    void sendClipboardImage(base::ByteView png);
    void requestWindowList();
    void beginWindowListRequest(base::Micros timeout);
    void receiveWindowList(protocol::WindowList list);
    bool launchApp(const protocol::AppListEntry& entry);
    void reportDecodeError();

private:
    struct Reader;
    using Done = std::function<void(std::optional<std::string> failure)>;

    void setState(State state);
    void changed();
    template <class T>
    void publish(T& field, T value) {
        if (field == value) return;
        field = std::move(value);
        changed();
    }

    void startConnection(bool isRetry);
    std::optional<std::string> endpoint(std::string_view name) const;
    void wireAssembler(const std::shared_ptr<MediaAssembler>& assembler, const Generation& generation);
    void startControlReader(const Generation& generation);
    void controlReceived(std::expected<platform::WebSocketMessage, platform::WebSocketError> result,
                         const Generation& generation, const std::shared_ptr<Reader>& reader);
    void startVideoReader(const Generation& generation);
    void videoReceived(std::expected<platform::WebSocketMessage, platform::WebSocketError> result,
                       const Generation& generation, const std::shared_ptr<Reader>& reader);

    void enqueueControl(protocol::ControlMessage message, const Generation& generation);
    void handleControl(const platform::WebSocketMessage& message, const Generation& generation, Done done);
    void handleWelcome(const protocol::Welcome& welcome, const Generation& generation, Done done);
    void welcomeAuthSent(const protocol::Welcome& welcome, const Generation& generation);
    void handleNotice(const protocol::Notice& notice, const Generation& generation);
    void handleBusy(const Generation& generation);
    void handleControllerJoined(const Generation& generation);
    void handleCursor(const protocol::CursorPosition& cursor);
    void publishCursorShape();
    void frameAssembled(std::shared_ptr<const VideoSample> sample, protocol::Ack ack, const Generation& generation);
    void flushVideoDisplay();
    void queuePointerCancel();

    void tearDown(bool releaseBeforeClose);
    void handleServerError(std::int64_t code, const std::string& message, const Generation& generation);
    void transportFailed(const std::string& description, const Generation& generation);

    std::uint32_t nextInputSeq();
    bool welcomedOrController() const;
    bool fitRequestsAllowed() const;
    ViewportMetrics viewport() const;

    base::Executor& main_;
    const base::Clock& clock_;
    const std::shared_ptr<platform::WebSocketClient> sockets_;
    const std::shared_ptr<base::Settings> defaults_;

    std::map<ObserverId, std::function<void()>> observers_;
    std::map<ObserverId, std::function<void(State)>> stateObservers_;
    ObserverId nextObserverId_ = 1;

    // Published.
    std::string baseURL_ = "https://host.invalid:8443";
    State state_ = State::disconnected;
    std::optional<std::string> lastError_;
    std::optional<protocol::CursorPosition> cursor_;
    std::optional<protocol::CursorPosition::Shape> visibleCursorShape_;
    StreamSize streamSize_{2560, 1080};
    std::optional<std::string> hostName_;
    bool viewOnly_ = false;
    std::optional<std::string> inputNotice_;
    std::optional<std::string> lockMessage_;
    bool windowFitActive_ = false;
    std::optional<std::string> windowAppName_;
    WindowListState windowListState_ = WindowListState::loaded;
    std::vector<protocol::WindowListEntry> windowList_;
    protocol::AppIcons appListIcons_;
    std::vector<protocol::AppListEntry> appList_;
    protocol::AppIcons windowAppIcons_;
    std::shared_ptr<MediaAssembler> assembler_;
    std::weak_ptr<VideoDisplay> videoDisplay_;

    // Session.
    std::optional<std::string> hostEntryId_;
    std::string deviceToken_;
    std::string deviceId_;
    SeparateCursorState separateCursor_;
    bool requestsSeparateCursor_ = false;
    base::TaskHandle windowListTimeout_;
    std::uint32_t inputSeq_ = 0;
    std::shared_ptr<platform::WebSocketChannel> control_;
    std::shared_ptr<platform::WebSocketChannel> video_;
    std::shared_ptr<Reader> controlReader_;
    std::shared_ptr<Reader> videoReader_;
    base::TaskHandle retryTask_;
    std::shared_ptr<ControlSendChain> sendTail_;
    std::set<Generation> drainingKeySessions_;
    bool usedKeyPhases_ = false;
    Generation generation_;
    bool wantsConnection_ = false;
    bool welcomed_ = false;
    bool hasWelcomed_ = false;
    bool hostLocked_ = false;
    int retryAttempt_ = 0;
    bool takeoverOnBusy_ = false;
    std::optional<protocol::DisplayAspectFitRequest> lastDisplayAspectFitSent_;
    std::optional<protocol::Viewport> lastViewportSent_;
};

}  // namespace orvanta::client
