#include "host/transport/LocalNetworkPeer.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

namespace orvanta::host {

namespace asio = boost::asio;

namespace {

asio::ip::address unmapped(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    return address;
}

template <std::size_t N>
bool sameMasked(const std::array<unsigned char, N>& a, const std::array<unsigned char, N>& b,
                const std::array<unsigned char, N>& mask) {
    for (std::size_t i = 0; i < N; ++i) {
        if ((a[i] & mask[i]) != (b[i] & mask[i])) return false;
    }
    return true;
}

bool inSubnet(const asio::ip::address& peer, const InterfaceNetwork& network) {
    const asio::ip::address address = unmapped(network.address);
    if (peer.is_v4() && address.is_v4() && network.netmask.is_v4()) {
        return sameMasked(peer.to_v4().to_bytes(), address.to_v4().to_bytes(), network.netmask.to_v4().to_bytes());
    }
    if (peer.is_v6() && address.is_v6() && network.netmask.is_v6()) {
        return sameMasked(peer.to_v6().to_bytes(), address.to_v6().to_bytes(), network.netmask.to_v6().to_bytes());
    }
    return false;
}

std::optional<asio::ip::address> addressOf(const sockaddr* address) {
    if (!address) return std::nullopt;
    if (address->sa_family == AF_INET) {
        sockaddr_in v4{};
        std::memcpy(&v4, address, sizeof v4);
        return asio::ip::address_v4(ntohl(v4.sin_addr.s_addr));
    }
    if (address->sa_family == AF_INET6) {
        sockaddr_in6 v6{};
        std::memcpy(&v6, address, sizeof v6);
        asio::ip::address_v6::bytes_type bytes;
        std::memcpy(bytes.data(), &v6.sin6_addr, bytes.size());
        return asio::ip::address_v6(bytes);
    }
    return std::nullopt;
}

}  // namespace

std::vector<InterfaceNetwork> localInterfaceNetworks() {
    std::vector<InterfaceNetwork> networks;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return networks;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!(entry->ifa_flags & IFF_UP)) continue;
        auto address = addressOf(entry->ifa_addr);
        auto netmask = addressOf(entry->ifa_netmask);
        if (address && netmask) networks.push_back({*address, *netmask});
    }
    ::freeifaddrs(list);
    return networks;
}

bool isLocalNetworkPeer(const asio::ip::address& peerAddress, std::span<const InterfaceNetwork> networks) {
    const asio::ip::address peer = unmapped(peerAddress);
    if (peer.is_loopback()) return true;
    if (peer.is_v4()) {
        const auto bytes = peer.to_v4().to_bytes();
        if (bytes[0] == 169 && bytes[1] == 254) return true;
    } else if (peer.to_v6().is_link_local()) {
        return true;
    }
    return std::ranges::any_of(networks, [&peer](const InterfaceNetwork& network) { return inSubnet(peer, network); });
}

}  // namespace orvanta::host
