#include "platform/avahi/AvahiServiceBrowser.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/AvahiFixture.h"
#include "support/ManualExecutor.h"

extern char** environ;

namespace orvanta::platform {
namespace {

using namespace std::chrono_literals;
using testing::ManualExecutor;
using State = ServiceBrowser::State;

constexpr const char* kType = "_tessaril._tcp";

// A helper program run for the length of a test, ended by its pid. With `captureOutput` its
// standard output comes through a pipe.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> argv, bool captureOutput = false) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int pipeFds[2] = {-1, -1};
        if (captureOutput && pipe(pipeFds) == 0) {
            posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
            posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
        }
        std::vector<char*> args;
        for (auto& arg : argv) args.push_back(arg.data());
        args.push_back(nullptr);
        if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (pipeFds[1] >= 0) close(pipeFds[1]);
        output_ = pipeFds[0];
    }
    ~ChildProcess() { stop(); }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool running() const { return pid_ > 0; }

    // The first line the child writes; blocks until it does or closes its output.
    std::string readLine() {
        std::string line;
        char c;
        while (output_ >= 0 && read(output_, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }

    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (output_ >= 0) close(output_);
        output_ = -1;
    }

private:
    pid_t pid_ = -1;
    int output_ = -1;
};

// A browser on virtual time that keeps what it reported.
struct Observed {
    explicit Observed(ManualExecutor& executor) : browser(executor, kType, "local.") {
        browser.onStateChanged = [this](State state) { states.push_back(state); };
        browser.onResultsChanged = [this](const std::vector<ServiceEndpoint>& now) { results = now; };
    }

    bool lists(const std::string& name) const {
        return std::ranges::count_if(results, [&](const auto& endpoint) { return endpoint.name == name; }) == 1;
    }

    AvahiServiceBrowser browser;
    std::vector<State> states;
    std::vector<ServiceEndpoint> results;
};

class AvahiServiceBrowserTest : public ::testing::Test {
protected:
    void SetUp() override {
        ORVANTA_REQUIRE_AVAHI();
    }

    ManualExecutor executor;
};

TEST_F(AvahiServiceBrowserTest, FindsResolvesAndLosesAPublishedService) {
    const std::string name = "Orvanta browse " + std::to_string(getpid());
    Observed observed(executor);
    observed.browser.start();
    ChildProcess publisher({"avahi-publish", "-s", name, kType, "8767", "v=2"});
    ASSERT_TRUE(publisher.running());

    ASSERT_TRUE(executor.runUntil([&] { return observed.lists(name); }, 20s));
    EXPECT_EQ(observed.states.front(), State::ready);

    auto endpoint = *std::ranges::find_if(observed.results, [&](const auto& e) { return e.name == name; });
    EXPECT_EQ(endpoint.type, kType);
    std::optional<ResolveResult> resolved;
    observed.browser.resolve(endpoint, 5s, [&](ResolveResult result) { resolved = std::move(result); });
    ASSERT_TRUE(executor.runUntil([&] { return resolved.has_value(); }));
    ASSERT_TRUE(resolved->has_value()) << (*resolved).error().detail;
    const ResolvedService& service = **resolved;
    EXPECT_EQ(service.name, name);
    EXPECT_TRUE(service.hostName.ends_with(".local")) << service.hostName;
    EXPECT_EQ(service.port, 8767);
    EXPECT_EQ(service.txt, (std::map<std::string, std::string>{{"v", "2"}}));
    EXPECT_FALSE(service.addresses.empty());

    publisher.stop();
    EXPECT_TRUE(executor.runUntil([&] { return !observed.lists(name); }, 20s));
}

TEST_F(AvahiServiceBrowserTest, GivesUpOnResolutionsAfterTheirTimeOut) {
    Observed observed(executor);
    observed.browser.start();
    ASSERT_TRUE(executor.runUntil([&] { return !observed.states.empty(); }));
    ASSERT_EQ(observed.states.front(), State::ready);

    ServiceEndpoint nobody{"Nobody " + std::to_string(getpid()), kType, "local."};
    std::vector<ResolveResult> results;
    int stoppedCompletions = 0;
    observed.browser.resolve(nobody, 5s, [&](ResolveResult result) { results.push_back(std::move(result)); });
    auto stopped = observed.browser.resolve(nobody, 5s, [&](ResolveResult) { ++stoppedCompletions; });
    observed.browser.stopResolving(stopped);

    executor.advance(4999ms);
    EXPECT_TRUE(results.empty());
    executor.advance(1ms);
    ASSERT_EQ(results.size(), 1u);
    ASSERT_FALSE(results[0].has_value());
    EXPECT_EQ(results[0].error().kind, ResolveError::Kind::timedOut);
    executor.advance(10s);
    EXPECT_EQ(results.size(), 1u);
    EXPECT_EQ(stoppedCompletions, 0);
}

TEST_F(AvahiServiceBrowserTest, ReportsNothingAfterCancelButCancelled) {
    Observed observed(executor);
    observed.browser.start();
    ASSERT_TRUE(executor.runUntil([&] { return !observed.states.empty(); }));
    int completions = 0;
    observed.browser.resolve({"Nobody", kType, "local."}, 5s, [&](ResolveResult) { ++completions; });

    observed.browser.cancel();
    executor.advance(10s);
    EXPECT_EQ(observed.states.back(), State::cancelled);
    EXPECT_EQ(completions, 0);
}

TEST_F(AvahiServiceBrowserTest, NeverWaitsForABusyDaemon) {
    Observed observed(executor);
    observed.browser.start();
    ASSERT_TRUE(executor.runUntil([&] { return !observed.states.empty(); }));
    ASSERT_EQ(observed.states.front(), State::ready);

    testing::FrozenAvahiDaemon frozen;
    ASSERT_TRUE(frozen.frozen());
    ServiceBrowser::ResolveId id = 0;
    int completions = 0;
    EXPECT_TRUE(testing::returnsWithin(5s, [&] {
        id = observed.browser.resolve({"Nobody", kType, "local."}, 5s, [&](ResolveResult) { ++completions; });
    }));
    EXPECT_TRUE(testing::returnsWithin(5s, [&] { observed.browser.stopResolving(id); }));
    EXPECT_TRUE(testing::returnsWithin(5s, [&] { observed.browser.cancel(); }));
    executor.advance(10s);
    EXPECT_EQ(completions, 0);
    EXPECT_EQ(observed.states.back(), State::cancelled);
}

// The system bus address is read once per process by libdbus, so each of these runs in a fresh
// process of its own, where it also checks that nothing crashes.
State firstStateOnBus(const std::string& busAddress) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress.c_str(), 1);
    ManualExecutor executor;
    Observed observed(executor);
    observed.browser.start();
    executor.runUntil([&] { return !observed.states.empty(); });
    std::optional<ResolveResult> resolved;
    observed.browser.resolve({"Nobody", kType, "local."}, 5s, [&](ResolveResult result) { resolved = result; });
    executor.runUntil([&] { return resolved.has_value(); });
    if (!resolved || resolved->has_value()) return State::setup;  // resolution must fail at once
    return observed.states.empty() ? State::setup : observed.states.front();
}

class AvahiServiceBrowserDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(AvahiServiceBrowserDeathTest, ReportsMissingBusAsFailed) {
    EXPECT_EXIT(std::exit(firstStateOnBus("unix:path=/nonexistent/orvanta-bus") == State::failed ? 0 : 1),
                ::testing::ExitedWithCode(0), "");
}

TEST_F(AvahiServiceBrowserDeathTest, WaitsForAbsentDaemon) {
    EXPECT_EXIT(
        {
            ChildProcess bus({"dbus-daemon", "--session", "--nofork", "--print-address=1"}, true);
            std::string address = bus.readLine();
            State state = address.empty() ? State::setup : firstStateOnBus(address);
            bus.stop();
            std::exit(state == State::waiting ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace orvanta::platform
