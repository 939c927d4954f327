// The message dispatch: every control message of the main session and of the input-only second
// device, checked against the sessions' and the host's state and handed to the concern that owns
// it; input injected, and a missing permission noticed once per session. On the host queue; it
// reaches the other concerns only through the neighbours the coordinator hands it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/Clock.h"
#include "host/transport/HostSettingsModel.h"  // ahead of HostSession.h, which uses its types

#include "host/controller/HostControlSeams.h"
#include "host/controller/HostSession.h"
#include "protocol/ControlMessages.h"

namespace orvanta::host {

class MessageDispatch {
public:
    static constexpr std::uint64_t kMaxRTTMicros = 59'999'999;
    static constexpr std::size_t kMaxRTTSamples = 20;
    static constexpr std::uint64_t kMinBaseRTTMicros = 1'000;
    static constexpr std::uint64_t kUndecodableLogIntervalMicros = 1'000'000;

    // What the dispatch reads of the host and hands on, on the host queue; set after construction.
    struct Neighbours {
        // The sessions and the pause.
        std::function<std::shared_ptr<HostSession>()> session;  // the main session, if any
        std::function<bool()> paused;
        std::function<void(const std::shared_ptr<HostSession>& session, const protocol::Hello& hello)> hello;
        std::function<void(const std::string& password)> unlock;
        // Pointer input goes only while the captured picture stands still (a cancel always goes).
        std::function<bool()> pointerReady;
        // How long a pointer message took from its first byte to its injection.
        std::function<void(std::uint64_t micros)> inputAge;
        // The video channel: whether the acknowledged frame is the first of its generation shown,
        // and what follows when it is.
        std::function<bool(std::uint16_t gen, std::uint32_t seq)> ackReceived;
        std::function<void(std::uint16_t gen)> firstFrameShown;
        std::function<void(std::uint64_t micros)> setBaseRTT;
        std::function<void()> forceKeyframe;
        std::function<void()> refreshAudio;
        // Display aspect fit.
        std::function<void(const protocol::DisplayAspectFitRequest& request, HostSession& session)> aspectFit;
        std::function<void(const protocol::ViewportUpdate& update, HostSession& session)> viewportUpdate;
        // Window fit: whether a frontmost window was fitted; a target; the fit ended and its
        // window put back; the devices told no window is fitted.
        std::function<bool(const protocol::FitWindowRequest& request)> fitFrontmost;
        std::function<void(const protocol::FitWindowTarget& target)> fitTarget;
        std::function<void()> unfit;
        std::function<void()> sendNoWindowState;
        // The clipboard channel.
        std::function<InputResult(const protocol::ClipboardText& text)> clipboardText;
        std::function<void(const protocol::ClipboardImage& image)> clipboardImage;
        // Applications and windows, answered on the asking connection.
        std::function<void(const std::shared_ptr<WebSocketConnection>& asker)> windowList;
        std::function<void(const std::string& bundleId, const std::shared_ptr<WebSocketConnection>& asker)> launchApp;
        std::function<void(const std::shared_ptr<WebSocketConnection>& asker)> appList;
        std::function<void(std::string_view line)> log;
    };

    // `debugInput` writes a line per injected input. Without input, input messages do nothing.
    MessageDispatch(const base::Clock& clock, std::shared_ptr<HostInput> input, bool debugInput);
    void setNeighbours(Neighbours neighbours) { neighbours_ = std::move(neighbours); }

    // A main session's control text, in arrival order; what does not decode is logged, at most
    // once a second.
    void receiveText(const std::string& text, const std::shared_ptr<HostSession>& session);
    // The same, decoded; an unlock's password is wiped once handled.
    void receive(protocol::ControlMessage& message, const std::shared_ptr<HostSession>& session);
    void undecodable();
    // The second device's messages act only on the live main session's desktop.
    void receiveFromController(const protocol::ControlMessage& message,
                               const std::shared_ptr<ControllerSession>& controller);
    // An injection's or a pasteboard write's result: missing permission is noticed once a session.
    void inputResult(InputResult result);
    // A new main session hears of missing permission again.
    void sessionStarted() { accessibilityNoticeSent_ = false; }

    static void send(WebSocketConnection& connection, const protocol::ControlMessage& message);

private:
    void dispatch(const protocol::ControlMessage& message, const std::shared_ptr<HostSession>& session);
    void dispatchInput(const protocol::ControlMessage& message, const std::string& source,
                       WebSocketConnection& connection);
    void handleAck(const protocol::Ack& ack);
    void handlePong(const protocol::Pong& pong, HostSession& session);
    void handleAudio(const protocol::AudioRequest& request, HostSession& session);
    void handleFitWindow(const protocol::FitWindowRequest& request);
    void log(std::string_view line) const;
    std::uint64_t now() const { return clock_.uptimeMicros(); }

    const base::Clock& clock_;
    const std::shared_ptr<HostInput> input_;
    const bool debugInput_;
    Neighbours neighbours_;
    std::uint64_t lastUndecodableLogAt_ = 0;
    bool accessibilityNoticeSent_ = false;
};

}  // namespace orvanta::host
