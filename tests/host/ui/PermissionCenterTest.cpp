#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "host/ui/PermissionCenter.h"
#include "support/ManualExecutor.h"

namespace orvanta::host::ui {
namespace {

std::uint32_t ipv4(const char* text) {
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return ntohl(address.s_addr);
}

InterfaceAddress lan(std::string name, const char* address, const char* mask) {
    return {.name = std::move(name),
            .up = true,
            .running = true,
            .loopback = false,
            .address = ipv4(address),
            .netmask = ipv4(mask)};
}

TEST(NeighbourAddressTest, TheFirstOtherHostOfTheSubnet) {
    struct Case {
        const char* name;
        std::vector<InterfaceAddress> interfaces;
        std::optional<const char*> neighbour;
    };
    auto down = lan("eth0", "192.168.1.20", "255.255.255.0");
    down.running = false;
    auto loopback = lan("en0", "127.0.0.1", "255.0.0.0");
    loopback.loopback = true;
    auto noMask = lan("en0", "192.168.1.20", "0.0.0.0");
    noMask.netmask.reset();
    const std::vector<Case> cases = {
        {"/24, this host is .1", {lan("en0", "192.168.1.1", "255.255.255.0")}, "192.168.1.2"},
        {"/24, this host is .20", {lan("enp3s0", "192.168.1.20", "255.255.255.0")}, "192.168.1.1"},
        {"/30 at N + 1", {lan("eth0", "10.0.0.1", "255.255.255.252")}, "10.0.0.2"},
        {"/30 at N + 2", {lan("wlan0", "10.0.0.2", "255.255.255.252")}, "10.0.0.1"},
        {"/31 at N: the candidate is the broadcast", {lan("eth0", "10.0.0.0", "255.255.255.254")}, std::nullopt},
        {"/31 at N + 1: N + 2 lies outside the subnet", {lan("eth0", "10.0.0.1", "255.255.255.254")}, std::nullopt},
        {"/32", {lan("eth0", "10.0.0.7", "255.255.255.255")}, std::nullopt},
        {"a tunnel is never used",
         {lan("tun0", "100.64.0.5", "255.192.0.0"), lan("wg0", "10.9.0.2", "255.255.255.0")},
         std::nullopt},
        {"down, loopback and maskless interfaces are passed over",
         {down, loopback, noMask, lan("wlp2s0", "172.16.4.9", "255.255.0.0")},
         "172.16.0.1"},
        {"a /31 falls through to the next interface",
         {lan("eth0", "10.0.0.1", "255.255.255.254"), lan("eth1", "192.168.7.1", "255.255.255.0")},
         "192.168.7.2"},
        {"nothing", {}, std::nullopt},
    };
    for (const auto& each : cases) {
        const auto found = neighbourAddress(each.interfaces);
        if (each.neighbour) {
            EXPECT_EQ(found, ipv4(*each.neighbour)) << each.name;
        } else {
            EXPECT_EQ(found, std::nullopt) << each.name;
        }
    }
    EXPECT_TRUE(isLanInterfaceName("enx00e04c"));
    EXPECT_TRUE(isLanInterfaceName("eth0"));
    EXPECT_TRUE(isLanInterfaceName("wlan0"));
    EXPECT_FALSE(isLanInterfaceName("lo"));
    EXPECT_FALSE(isLanInterfaceName("docker0"));
}

TEST(LocalNetworkProbeTest, ConnectsOverLoopbackWithoutSending) {
    // A real connected UDP socket to this machine; nothing is aimed at any other address.
    EXPECT_EQ(connectUdp(ipv4("127.0.0.1")), ProbeAnswer::ready);
}

struct Centre {
    testing::ManualExecutor main;
    testing::ManualExecutor probe;
    HostCapabilities capabilities{.capture = true, .input = true};
    std::optional<std::uint32_t> neighbour = ipv4("127.0.0.1");
    ProbeAnswer answer = ProbeAnswer::ready;
    int connects = 0;
    PermissionCenter centre{main,
                            probe,
                            {.capabilities = [this] { return capabilities; },
                             .probe = {.neighbour = [this] { return neighbour; },
                                       .connect =
                                           [this](std::uint32_t) {
                                               ++connects;
                                               return answer;
                                           }}}};

    PermissionStatus network() const { return centre.status(HostPermission::localNetwork, false); }
    void settle() {
        while (probe.runUntilIdle() + main.runUntilIdle() > 0) {
        }
    }
};

TEST(PermissionCenterTest, ReadsTheDisplayServerAndProbesTheNetwork) {
    Centre c;
    EXPECT_EQ(c.network(), PermissionStatus::checking());
    c.capabilities = {.capture = false, .input = true};
    c.centre.refresh();
    EXPECT_EQ(c.centre.status(HostPermission::screenRecording, false), PermissionStatus::denied());
    EXPECT_EQ(c.centre.status(HostPermission::systemAudio, false), PermissionStatus::denied());
    EXPECT_EQ(c.centre.status(HostPermission::accessibility, false), PermissionStatus::granted());
    EXPECT_EQ(c.centre.status(HostPermission::pasteboard, false), PermissionStatus::granted());
    EXPECT_EQ(c.network(), PermissionStatus::checking());
    c.settle();
    EXPECT_EQ(c.network(), PermissionStatus::granted());
    // The policy denial reported by the server wins over what the probe found.
    EXPECT_EQ(c.centre.status(HostPermission::localNetwork, true), PermissionStatus::denied());
}

TEST(PermissionCenterTest, ProbeOutcomes) {
    struct Case {
        const char* name;
        std::optional<std::uint32_t> neighbour;
        ProbeAnswer answer;
        PermissionStatus status;
    };
    const std::vector<Case> cases = {
        {"no LAN address", std::nullopt, ProbeAnswer::ready,
         PermissionStatus::undetermined("確かめられません（ネットワーク未接続）")},
        {"connection failed", ipv4("127.0.0.1"), ProbeAnswer::failed,
         PermissionStatus::undetermined("確かめられません")},
        {"no answer in 3 s", ipv4("127.0.0.1"), ProbeAnswer::waiting,
         PermissionStatus::undetermined("まだ決まっていません")},
    };
    for (const auto& each : cases) {
        Centre c;
        c.neighbour = each.neighbour;
        c.answer = each.answer;
        c.centre.refresh();
        c.settle();
        if (each.answer == ProbeAnswer::waiting) {
            EXPECT_EQ(c.network(), PermissionStatus::checking()) << each.name;
            c.probe.advance(base::Micros(2'999'999));
            c.settle();
            EXPECT_EQ(c.network(), PermissionStatus::checking()) << each.name;
            c.probe.advance(base::Micros(1));
            c.settle();
        }
        EXPECT_EQ(c.network(), each.status) << each.name;
    }
}

TEST(PermissionCenterTest, OnlyTheLatestProbeIsStoredAndAnEarlierResultStaysMeanwhile) {
    Centre c;
    c.centre.refresh();
    c.settle();
    ASSERT_EQ(c.network(), PermissionStatus::granted());
    c.answer = ProbeAnswer::waiting;
    c.centre.refresh();
    c.answer = ProbeAnswer::failed;
    c.centre.refresh();
    c.settle();
    EXPECT_EQ(c.network(), PermissionStatus::undetermined("確かめられません"));
    // The first of the two quick refreshes was cancelled: its time-out stores nothing.
    c.probe.advance(LocalNetworkProbe::kTimeout);
    c.settle();
    EXPECT_EQ(c.network(), PermissionStatus::undetermined("確かめられません"));
}

TEST(PermissionCenterTest, ObserversHearEveryStoredStatus) {
    Centre c;
    int heard = 0;
    auto subscription = c.centre.observe([&] { ++heard; });
    c.centre.refresh();
    EXPECT_EQ(heard, 5);
    c.settle();
    EXPECT_EQ(heard, 6);
}

}  // namespace
}  // namespace orvanta::host::ui
