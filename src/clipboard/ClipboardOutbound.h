// The client's outbound clipboard connections: one worker per saved host that can take one (reached
// over loopback, the Tailscale ranges, or https under the Tailscale DNS suffix; never this machine's
// own host side). Each worker probes the host's capabilities, holds a clipboard channel attached to
// the hub while the host keeps it, and tries again after a back-off. Runs on the main executor.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Executor.h"
#include "client/directory/HostListStore.h"
#include "clipboard/ClipboardSync.h"
#include "platform/HttpClient.h"
#include "platform/WebSocketClient.h"

namespace orvanta::clipboard {

// Where a saved host is probed and where its clipboard channel is opened.
struct ClipboardEndpoints {
    std::string probe;    // http(s)://host[:port]/v2/capabilities
    std::string control;  // ws(s)://host[:port]/v2/control
    bool operator==(const ClipboardEndpoints&) const = default;
};

// Why a message from the host is not a packet.
struct ClipboardReadError {
    enum class Kind {
        channel,        // the channel failed or closed
        binaryMessage,  // the channel carries JSON texts only
        notJsonObject,
    };
    Kind kind;
    std::string detail;
    bool operator==(const ClipboardReadError&) const = default;
};

class ClipboardOutbound final : public std::enable_shared_from_this<ClipboardOutbound> {
public:
    static constexpr std::string_view kTailscaleDnsSuffix = ".ts.net";
    static constexpr std::string_view kProbePath = "/v2/capabilities";
    static constexpr std::string_view kControlPath = "/v2/control";

    static constexpr base::Micros kFirstBackoff = std::chrono::seconds(5);
    static constexpr base::Micros kAfterSessionWait = std::chrono::seconds(5);
    static constexpr base::Micros kBackoffAfterSession = std::chrono::seconds(10);
    static constexpr base::Micros kMaxBackoff = std::chrono::seconds(60);
    static constexpr base::Micros kProbeTimeout = std::chrono::seconds(10);
    static constexpr std::size_t kMaxProbeBodyBytes = 4096;

    static constexpr base::Micros kHandshakeTimeout = std::chrono::seconds(10);
    static constexpr base::Micros kPingInterval = std::chrono::seconds(30);
    static constexpr base::Micros kPongTimeout = std::chrono::seconds(10);
    static constexpr std::size_t kMaxWaitingTexts = 4;
    static constexpr std::size_t kMaxMessageBytes = 8'388'608;
    static constexpr std::uint16_t kCloseGoingAway = 1001;

    // Follows `hosts` and the hub's switch from now on, refreshing at once. The executor, the
    // directory, the hub and both clients outlive the dialer and the completions it left pending.
    static std::shared_ptr<ClipboardOutbound> create(base::Executor& main, client::HostListStore& hosts,
                                                     ClipboardSync& hub, platform::HttpClient& http,
                                                     platform::WebSocketClient& sockets,
                                                     std::function<std::string()> deviceID);
    // Cancels every worker, closing its channel.
    ~ClipboardOutbound();
    ClipboardOutbound(const ClipboardOutbound&) = delete;
    ClipboardOutbound& operator=(const ClipboardOutbound&) = delete;

    // Brings the workers in line with `entries`: a host removed, or whose address or identifier
    // changed, loses its worker; an eligible host without one gets one.
    void refresh(const std::vector<client::HostListStore::Entry>& entries);

    static std::optional<ClipboardEndpoints> endpoints(std::string_view baseURL);
    // Whether a probe answer announces clipboard sync: status 200 and a JSON object body of at most
    // kMaxProbeBodyBytes whose "clipboard" is the boolean true.
    static bool advertised(std::string_view body, int status);
    // One received message as a packet: a text holding a JSON object.
    static std::expected<Packet, ClipboardReadError> read(
        const std::expected<platform::WebSocketMessage, platform::WebSocketError>& received);

    // Saved-host ids that have a worker.
    std::vector<std::string> workerIds() const;

private:
    struct Worker;
    struct Run;

    ClipboardOutbound(base::Executor& main, client::HostListStore& hosts, ClipboardSync& hub,
                      platform::HttpClient& http, platform::WebSocketClient& sockets,
                      std::function<std::string()> deviceID);
    void subscribe();
    void follow();
    void startWorker(const client::HostListStore::Entry& entry, ClipboardEndpoints urls);
    void iterate(const std::shared_ptr<Worker>& worker);
    void connect(const std::shared_ptr<Worker>& worker);
    void probed(const std::shared_ptr<Worker>& worker, const platform::HttpResult& result);
    void attemptEnded(const std::shared_ptr<Worker>& worker, bool established);
    void forget(const std::shared_ptr<Worker>& worker);

    base::Executor& main_;
    client::HostListStore& hosts_;
    ClipboardSync& hub_;
    platform::HttpClient& http_;
    platform::WebSocketClient& sockets_;
    std::function<std::string()> deviceID_;
    std::map<std::string, std::shared_ptr<Worker>> workers_;
    std::optional<client::HostListStore::ObserverId> observation_;
};

}  // namespace orvanta::clipboard
