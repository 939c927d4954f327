#include "host/ui/PermissionCenter.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <utility>

namespace orvanta::host::ui {

bool isLanInterfaceName(std::string_view name) {
    // Predictable names (enp3s0, wlp2s0) and the traditional ones (eth0, wlan0).
    constexpr std::array<std::string_view, 3> kPrefixes = {"en", "eth", "wl"};
    for (const auto prefix : kPrefixes) {
        if (name.starts_with(prefix)) return true;
    }
    return false;
}

std::optional<std::uint32_t> neighbourAddress(const std::vector<InterfaceAddress>& interfaces) {
    for (const InterfaceAddress& each : interfaces) {
        if (!each.up || !each.running || each.loopback || !isLanInterfaceName(each.name)) continue;
        if (!each.address || !each.netmask || *each.netmask == 0 || *each.netmask == 0xFFFFFFFFu) continue;
        const std::uint32_t mask = *each.netmask;
        const std::uint32_t network = *each.address & mask;
        const std::uint32_t candidate = *each.address == network + 1 ? network + 2 : network + 1;
        // On a /31 the step past this machine leaves the subnet altogether.
        if ((candidate & mask) != network || (candidate | mask) == 0xFFFFFFFFu) continue;
        return candidate;
    }
    return std::nullopt;
}

std::vector<InterfaceAddress> systemInterfaces() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return {};
    std::vector<InterfaceAddress> result;
    for (const ifaddrs* each = list; each; each = each->ifa_next) {
        if (!each->ifa_addr || each->ifa_addr->sa_family != AF_INET) continue;
        InterfaceAddress entry{.name = each->ifa_name ? each->ifa_name : "",
                               .up = (each->ifa_flags & IFF_UP) != 0,
                               .running = (each->ifa_flags & IFF_RUNNING) != 0,
                               .loopback = (each->ifa_flags & IFF_LOOPBACK) != 0,
                               .address = {},
                               .netmask = {}};
        sockaddr_in address{};
        std::memcpy(&address, each->ifa_addr, sizeof address);
        entry.address = ntohl(address.sin_addr.s_addr);
        if (each->ifa_netmask) {
            sockaddr_in mask{};
            std::memcpy(&mask, each->ifa_netmask, sizeof mask);
            entry.netmask = ntohl(mask.sin_addr.s_addr);
        }
        result.push_back(std::move(entry));
    }
    freeifaddrs(list);
    return result;
}

ProbeAnswer connectUdp(std::uint32_t address) {
    constexpr std::uint16_t kDiscardPort = 9;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return ProbeAnswer::failed;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(kDiscardPort);
    target.sin_addr.s_addr = htonl(address);
    sockaddr generic{};
    std::memcpy(&generic, &target, sizeof target);
    const bool connected = ::connect(fd, &generic, sizeof target) == 0;
    ::close(fd);
    return connected ? ProbeAnswer::ready : ProbeAnswer::failed;
}

// ---------------------------------------------------------------------------------------------

std::shared_ptr<LocalNetworkProbe> LocalNetworkProbe::create(base::Executor& queue, Sources sources) {
    return std::make_shared<LocalNetworkProbe>(Passkey{}, queue, std::move(sources));
}

void LocalNetworkProbe::start(std::function<void(PermissionStatus)> completion) {
    queue_.async([weak = weak_from_this(), completion = std::move(completion)]() mutable {
        const auto self = weak.lock();
        if (!self || self->finished_) return;
        self->completion_ = std::move(completion);
        self->run();
    });
}

void LocalNetworkProbe::run() {
    const auto neighbour = sources_.neighbour();
    if (!neighbour) {
        finish(PermissionStatus::undetermined(std::string(kProbeNoAddress)));
        return;
    }
    timeout_ = queue_.asyncAfter(kTimeout, [weak = weak_from_this()] {
        if (const auto self = weak.lock()) self->finish(PermissionStatus::undetermined(std::string(kProbeTimedOut)));
    });
    switch (sources_.connect(*neighbour)) {
        case ProbeAnswer::ready:
            finish(PermissionStatus::granted());
            break;
        case ProbeAnswer::failed:
            finish(PermissionStatus::undetermined(std::string(kProbeFailed)));
            break;
        case ProbeAnswer::waiting:
            break;
    }
}

void LocalNetworkProbe::finish(PermissionStatus result) {
    if (finished_) return;
    finished_ = true;
    timeout_.cancel();
    if (auto completion = std::exchange(completion_, nullptr)) completion(std::move(result));
}

void LocalNetworkProbe::cancel() {
    queue_.async([weak = weak_from_this()] {
        const auto self = weak.lock();
        if (!self) return;
        self->finished_ = true;
        self->completion_ = nullptr;
        self->timeout_.cancel();
    });
}

// ---------------------------------------------------------------------------------------------

PermissionCenter::PermissionCenter(base::Executor& main, base::Executor& probeQueue, Sources sources)
    : main_(main), probeQueue_(probeQueue), sources_(std::move(sources)) {}

PermissionCenter::~PermissionCenter() {
    if (probe_) probe_->cancel();
}

void PermissionCenter::refresh() {
    const HostCapabilities capabilities = sources_.capabilities ? sources_.capabilities() : HostCapabilities{};
    const auto capture = capabilities.capture ? PermissionStatus::granted() : PermissionStatus::denied();
    store(HostPermission::screenRecording, capture);
    store(HostPermission::systemAudio, capture);
    store(HostPermission::accessibility, capabilities.input ? PermissionStatus::granted() : PermissionStatus::denied());
    store(HostPermission::pasteboard, PermissionStatus::granted());
    if (!statuses_.contains(HostPermission::localNetwork))
        store(HostPermission::localNetwork, PermissionStatus::checking());

    if (probe_) probe_->cancel();
    auto probe = LocalNetworkProbe::create(probeQueue_, sources_.probe);
    probe_ = probe;
    probe->start(
        [this, alive = std::weak_ptr<bool>(alive_), weakProbe = std::weak_ptr(probe)](PermissionStatus result) {
            main_.async([this, alive, weakProbe, result = std::move(result)] {
                const auto finished = weakProbe.lock();
                if (!alive.lock() || !finished || finished != probe_) return;
                probe_.reset();
                store(HostPermission::localNetwork, result);
            });
        });
}

PermissionStatus PermissionCenter::status(HostPermission permission, bool bonjourPolicyDenied) const {
    if (permission == HostPermission::localNetwork && bonjourPolicyDenied) return PermissionStatus::denied();
    const auto found = statuses_.find(permission);
    return found == statuses_.end() ? PermissionStatus::checking() : found->second;
}

void PermissionCenter::store(HostPermission permission, PermissionStatus status) {
    statuses_[permission] = std::move(status);
    revision_.assign(revision_() + 1);
}

}  // namespace orvanta::host::ui
