// Which peers the LAN listener serves.
#pragma once

#include <utility>  // ahead of Asio, for g++ 12 in C++23 mode

#include <boost/asio/ip/address.hpp>
#include <span>
#include <vector>

namespace orvanta::host {

struct InterfaceNetwork {
    boost::asio::ip::address address;
    boost::asio::ip::address netmask;
    bool operator==(const InterfaceNetwork&) const = default;
};

// The addresses and netmasks of this machine's interfaces that are up, read afresh on each call.
std::vector<InterfaceNetwork> localInterfaceNetworks();

// Loopback, link-local, or inside the subnet of one of `networks`. An IPv4 peer that reached a
// dual-stack listener as an IPv4-mapped IPv6 address is judged as IPv4.
bool isLocalNetworkPeer(const boost::asio::ip::address& peer, std::span<const InterfaceNetwork> networks);

}  // namespace orvanta::host
