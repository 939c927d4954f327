// The clipboard channel: a paired device's dedicated connection bridged to the process-wide hub,
// the main session's own clipboard messages written to the pasteboard, and the capability probe's
// answer. The hub and the pasteboard live on the main thread; every crossing is an asynchronous hop
// holding weak references, so a closed connection or a released channel ends the chain quietly.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "base/Executor.h"
#include "base/Json.h"
#include "host/controller/HostControlSeams.h"
#include "host/transport/HTTPServer.h"
#include "host/transport/HostSettingsModel.h"
#include "protocol/ControlMessages.h"

namespace orvanta::host {

class WebSocketConnection;

class ClipboardChannel final : public std::enable_shared_from_this<ClipboardChannel> {
public:
    static constexpr std::int64_t kMaxMessage = 8'388'608;
    static constexpr std::string_view kWelcome = R"({"type":"welcome","purpose":"clipboard"})";

    // On the host queue.
    struct Callbacks {
        // Whether the token is the paired device's.
        std::function<bool(const std::string& token, const std::string& deviceId)> authenticate;
    };

    // `log` may be called on the main thread.
    ClipboardChannel(base::Executor& queue, base::Executor& main, std::shared_ptr<HostClipboard> hub,
                     std::function<void(std::string_view)> log);
    void setCallbacks(Callbacks callbacks) { callbacks_ = std::move(callbacks); }

    // Takes over a control connection whose hello asked for the clipboard channel.
    void accept(const std::shared_ptr<WebSocketConnection>& socket, const base::Json& hello, ConnectionRoute route);
    // Closes the channel connections of a forgotten device.
    void revoke(const std::string& deviceId);
    // The main session's clipboard: text beyond the limit is refused; an image that does not
    // decode is dropped.
    InputResult writeText(const protocol::ClipboardText& message);
    void writeImage(const protocol::ClipboardImage& message);
    // The capability probe's answer: whether clipboard sync is on, read on the main thread.
    void answerAvailable(HTTPServer::ClipboardAnswer reply);

private:
    void attach(const std::shared_ptr<WebSocketConnection>& socket, const std::string& id);
    void forward(const std::string& text, const std::string& id);
    void detachFromHub(const std::string& id);

    base::Executor& queue_;
    base::Executor& main_;
    const std::shared_ptr<HostClipboard> hub_;
    const std::function<void(std::string_view)> log_;
    Callbacks callbacks_;
    // By connection identifier: the connection and its device.
    std::map<std::string, std::pair<std::shared_ptr<WebSocketConnection>, std::string>> subscribers_;
};

}  // namespace orvanta::host
