// What the host's screens say about the system permissions it needs. On this system screen capture
// and system audio are granted when the display server's capture extensions answer, input when
// XTest does, and the pasteboard always; the local network is probed by connecting a UDP socket to
// a neighbour on the LAN, which sends nothing. Main thread, apart from the probe's own queue.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Executor.h"
#include "client/viewer/Published.h"
#include "host/transport/HostSettingsModel.h"

namespace orvanta::host::ui {

inline constexpr std::string_view kProbeNoAddress = "確かめられません（ネットワーク未接続）";
inline constexpr std::string_view kProbeFailed = "確かめられません";
inline constexpr std::string_view kProbeTimedOut = "まだ決まっていません";

// One IPv4 interface as the system lists it; addresses in host byte order.
struct InterfaceAddress {
    std::string name;
    bool up = false;
    bool running = false;
    bool loopback = false;
    std::optional<std::uint32_t> address;
    std::optional<std::uint32_t> netmask;
    bool operator==(const InterfaceAddress&) const = default;
};

// Wired and wireless LAN interfaces by their names' beginnings.
bool isLanInterfaceName(std::string_view name);
// The first address of the first LAN interface's subnet that is not this machine, when it is an
// ordinary host address of that subnet; nothing when no interface gives one.
std::optional<std::uint32_t> neighbourAddress(const std::vector<InterfaceAddress>& interfaces);
// The system's interfaces (getifaddrs); empty when they cannot be listed.
std::vector<InterfaceAddress> systemInterfaces();

// How a UDP connection to the neighbour went.
enum class ProbeAnswer { ready, failed, waiting };
// Connects a UDP socket to the address (host byte order), port 9; nothing is sent.
ProbeAnswer connectUdp(std::uint32_t address);

class LocalNetworkProbe : public std::enable_shared_from_this<LocalNetworkProbe> {
public:
    static constexpr base::Micros kTimeout{3'000'000};

    struct Sources {
        std::function<std::optional<std::uint32_t>()> neighbour = [] { return neighbourAddress(systemInterfaces()); };
        std::function<ProbeAnswer(std::uint32_t)> connect = connectUdp;
    };

    static std::shared_ptr<LocalNetworkProbe> create(base::Executor& queue, Sources sources);
    // Runs on the probe's queue; `completion` gets exactly one result there, unless cancelled.
    void start(std::function<void(PermissionStatus)> completion);
    void cancel();

    struct Passkey {};
    LocalNetworkProbe(Passkey, base::Executor& queue, Sources sources) : queue_(queue), sources_(std::move(sources)) {}

private:
    void run();
    void finish(PermissionStatus result);

    base::Executor& queue_;
    Sources sources_;
    bool finished_ = false;
    std::function<void(PermissionStatus)> completion_;
    base::TaskHandle timeout_;
};

// What the display server offers the host.
struct HostCapabilities {
    bool capture = false;  // the capture extensions answer
    bool input = false;    // XTest answers
};

class PermissionCenter {
public:
    struct Sources {
        std::function<HostCapabilities()> capabilities;
        LocalNetworkProbe::Sources probe;
    };

    // `probeQueue` is "tessaril.localnetwork.probe" and outlives the centre.
    PermissionCenter(base::Executor& main, base::Executor& probeQueue, Sources sources);
    ~PermissionCenter();
    PermissionCenter(const PermissionCenter&) = delete;
    PermissionCenter& operator=(const PermissionCenter&) = delete;

    // Re-reads every status and starts a new local-network probe in place of a running one.
    void refresh();
    PermissionStatus status(HostPermission permission, bool bonjourPolicyDenied) const;
    const std::map<HostPermission, PermissionStatus>& statuses() const { return statuses_; }
    // Told after every stored status.
    [[nodiscard]] client::Subscription observe(std::function<void()> onChange) const {
        return revision_.observe([onChange = std::move(onChange)](std::uint64_t) { onChange(); });
    }

private:
    void store(HostPermission permission, PermissionStatus status);

    base::Executor& main_;
    base::Executor& probeQueue_;
    Sources sources_;
    std::map<HostPermission, PermissionStatus> statuses_;
    std::shared_ptr<LocalNetworkProbe> probe_;
    client::Published<std::uint64_t> revision_{0};
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace orvanta::host::ui
