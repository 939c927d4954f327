// The Avahi advertiser against the avahi-daemon of the CTest fixture, checked with avahi-browse.
#include "platform/avahi/AvahiServiceAdvertiser.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/AvahiFixture.h"
#include "support/ManualExecutor.h"

namespace orvanta::platform {
namespace {

using namespace std::chrono_literals;

constexpr auto kDaemonLimit = 30s;  // only guards a broken daemon; results come sooner

struct BrowsedService {
    std::string name;
    std::string type;
    std::string domain;
    std::string port;
    std::string txt;
    bool operator==(const BrowsedService&) const = default;
};

// avahi-browse writes "\DDD" for bytes it escapes in names and "\X" for a literal X.
std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
            out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 1, 3)))));
            i += 3;
        } else if (text[i] == '\\' && i + 1 < text.size()) {
            out.push_back(text[++i]);
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// The resolved services of our type, as another program on the machine sees them.
std::vector<BrowsedService> browse() {
    std::vector<BrowsedService> services;
    FILE* pipe = ::popen("timeout 30 avahi-browse -rpt _tessaril._tcp 2>/dev/null", "r");
    if (!pipe) return services;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe)) {
        std::vector<std::string> fields;
        std::stringstream stream(line);
        for (std::string field; std::getline(stream, field, ';');) fields.push_back(field);
        if (fields.size() < 10 || fields[0] != "=") continue;
        if (!fields[9].empty() && fields[9].back() == '\n') fields[9].pop_back();
        services.push_back({unescape(fields[3]), fields[4], fields[5], fields[8], fields[9]});
    }
    ::pclose(pipe);
    return services;
}

bool browsed(const BrowsedService& wanted) {
    auto services = browse();
    return std::ranges::find(services, wanted) != services.end();
}

class AvahiServiceAdvertiserTest : public ::testing::Test {
protected:
    void SetUp() override {
        ORVANTA_REQUIRE_AVAHI();
        // Within one DNS label (63 bytes), which the advertiser would otherwise cut.
        const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        name = "orvanta-test-" + std::to_string(::getpid()) + "-" + test.substr(0, 16);
    }

    std::unique_ptr<AvahiServiceAdvertiser> advertiser(std::vector<AdvertisementEvent>& events) {
        auto made = std::make_unique<AvahiServiceAdvertiser>(executor);
        made->onEvent = [&events](const AdvertisementEvent& event) { events.push_back(event); };
        return made;
    }

    ServiceRegistration registration(std::uint16_t port = 8767) const {
        return {name, "_tessaril._tcp", "local.", port, {{"v", "2"}}};
    }

    bool waitFor(const std::vector<AdvertisementEvent>& events, const AdvertisementEvent& wanted) {
        return executor.runUntil([&] { return std::ranges::find(events, wanted) != events.end(); }, kDaemonLimit);
    }

    testing::ManualExecutor executor;
    std::string name;
};

TEST_F(AvahiServiceAdvertiserTest, PublishesTheServiceWithItsTypePortAndTxtRecord) {
    std::vector<AdvertisementEvent> events;
    auto published = advertiser(events);
    published->publish(registration(8767));
    ASSERT_TRUE(waitFor(events, {AdvertisementState::registered, name, ""}));
    EXPECT_TRUE(browsed({name, "_tessaril._tcp", "local", "8767", "\"v=2\""}));

    published->withdraw();
    ASSERT_TRUE(waitFor(events, {AdvertisementState::removed, name, ""}));
    // Browsers see the goodbye once the daemon's cache has let the record go.
    bool gone = false;
    for (int attempt = 0; attempt < 10 && !gone; ++attempt) {
        gone = !browsed({name, "_tessaril._tcp", "local", "8767", "\"v=2\""});
    }
    EXPECT_TRUE(gone);
}

TEST_F(AvahiServiceAdvertiserTest, RenamesTheServiceOnANameCollision) {
    std::vector<AdvertisementEvent> firstEvents;
    std::vector<AdvertisementEvent> secondEvents;
    auto first = advertiser(firstEvents);
    auto second = advertiser(secondEvents);
    first->publish(registration(8767));
    ASSERT_TRUE(waitFor(firstEvents, {AdvertisementState::registered, name, ""}));

    second->publish(registration(9000));
    const std::string renamed = name + " #2";
    ASSERT_TRUE(waitFor(secondEvents, {AdvertisementState::registered, renamed, ""}));
    EXPECT_EQ(secondEvents.front(), (AdvertisementEvent{AdvertisementState::renamed, name, renamed}));
    EXPECT_TRUE(browsed({renamed, "_tessaril._tcp", "local", "9000", "\"v=2\""}));
    EXPECT_TRUE(browsed({name, "_tessaril._tcp", "local", "8767", "\"v=2\""}));
}

TEST_F(AvahiServiceAdvertiserTest, ReportsAnInvalidRegistrationAsFailed) {
    std::vector<AdvertisementEvent> events;
    auto published = advertiser(events);
    auto bad = registration();
    bad.type = "not a service type";
    published->publish(bad);
    ASSERT_TRUE(executor.runUntil([&] { return !events.empty(); }, kDaemonLimit));
    EXPECT_EQ(events.front().state, AdvertisementState::failed);
    EXPECT_FALSE(events.front().detail.empty());
}

TEST_F(AvahiServiceAdvertiserTest, CutsALongNameToOneDnsLabelOfWholeCharacters) {
    std::vector<AdvertisementEvent> events;
    auto published = advertiser(events);
    auto longName = registration();
    longName.name = name.substr(0, 20) + std::string(20, 'x') +
                    "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9";
    ASSERT_GT(longName.name.size(), 63u);
    published->publish(longName);
    ASSERT_TRUE(executor.runUntil([&] { return !events.empty(); }, kDaemonLimit));
    EXPECT_EQ(events.front().state, AdvertisementState::registered);
    EXPECT_EQ(events.front().name, longName.name.substr(0, 62));
}

TEST_F(AvahiServiceAdvertiserTest, NeverWaitsForABusyDaemon) {
    std::vector<AdvertisementEvent> events;
    auto published = advertiser(events);
    published->publish(registration());
    ASSERT_TRUE(waitFor(events, {AdvertisementState::registered, name, ""}));
    events.clear();
    {
        testing::FrozenAvahiDaemon frozen;
        ASSERT_TRUE(frozen.frozen());
        EXPECT_TRUE(testing::returnsWithin(5s, [&] { published->withdraw(); }));
        EXPECT_TRUE(testing::returnsWithin(5s, [&] { published->publish(registration(8768)); }));
    }
    ASSERT_TRUE(waitFor(events, {AdvertisementState::registered, name, ""}));
    EXPECT_TRUE(browsed({name, "_tessaril._tcp", "local", "8768", "\"v=2\""}));
}

// Waits for a process that is not our child to end, without sleeping.
bool waitForExit(pid_t pid) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) return errno == ESRCH;
    pollfd entry{fd, POLLIN, 0};
    const bool ended = ::poll(&entry, 1, static_cast<int>(std::chrono::milliseconds(kDaemonLimit).count())) == 1;
    ::close(fd);
    return ended;
}

// Starts the fixture's avahi-daemon again, as the fixture did: in its network namespace and with
// its own runtime folder, recorded so that the fixture's cleanup stops it.
bool restartDaemon(const std::filesystem::path& state) {
    const std::string script = std::string(ORVANTA_SOURCE_DIR) + "/tests/support/avahi-fixture";
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl(script.c_str(), script.c_str(), "restart-daemon", state.c_str(), nullptr);
        ::_exit(127);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(AvahiServiceAdvertiserTest, PublishesAgainWhenTheDaemonComesBack) {
    const std::filesystem::path state = std::getenv("ORVANTA_AVAHI_STATE");
    pid_t daemon = 0;
    std::ifstream(state / "avahi.pid") >> daemon;
    ASSERT_GT(daemon, 0);

    std::vector<AdvertisementEvent> events;
    auto published = advertiser(events);
    published->publish(registration());
    ASSERT_TRUE(waitFor(events, {AdvertisementState::registered, name, ""}));

    ASSERT_EQ(::kill(daemon, SIGTERM), 0);
    ASSERT_TRUE(waitForExit(daemon));
    ASSERT_TRUE(waitFor(events, {AdvertisementState::removed, name, ""}));
    events.clear();

    ASSERT_TRUE(restartDaemon(state));
    ASSERT_TRUE(waitFor(events, {AdvertisementState::registered, name, ""}));
    EXPECT_TRUE(browsed({name, "_tessaril._tcp", "local", "8767", "\"v=2\""}));
}

}  // namespace
}  // namespace orvanta::platform
