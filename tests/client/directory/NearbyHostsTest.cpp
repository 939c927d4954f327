#include "client/directory/NearbyHosts.h"

#include <gtest/gtest.h>

#include "base/Url.h"
#include "support/FakeServiceBrowser.h"

namespace orvanta::client {
namespace {

using namespace std::chrono_literals;
using platform::ResolvedService;
using platform::ResolveError;
using platform::ServiceEndpoint;
using State = platform::ServiceBrowser::State;
using Host = NearbyHosts::Host;

ServiceEndpoint endpoint(const std::string& name) { return {name, "_tessaril._tcp", "local"}; }

platform::ResolveResult at(const std::string& name, const std::string& hostName, int port = 8767) {
    return ResolvedService{name, hostName, static_cast<std::uint16_t>(port), {"127.0.0.1"}, {{"v", "2"}}};
}

class NearbyHostsTest : public ::testing::Test {
protected:
    NearbyHostsTest() {
        nearby.onHostsChanged = [this](const std::vector<Host>& hosts) { published.push_back(hosts); };
    }

    // Starts browsing and lists `names` as the ready browser's results.
    testing::FakeServiceBrowserRecord& browse(const std::vector<std::string>& names) {
        nearby.start();
        auto& browser = browsers.latest();
        browser.report(State::ready);
        browser.reportResults(endpoints(names));
        return browser;
    }

    static std::vector<ServiceEndpoint> endpoints(const std::vector<std::string>& names) {
        std::vector<ServiceEndpoint> out;
        for (const auto& name : names) out.push_back(endpoint(name));
        return out;
    }

    std::vector<std::string> addresses() const {
        std::vector<std::string> out;
        for (const Host& host : nearby.hosts()) out.push_back(host.address);
        return out;
    }

    testing::FakeServiceBrowsers browsers;
    NearbyHosts nearby{browsers.factory()};
    std::vector<std::vector<Host>> published;
};

TEST_F(NearbyHostsTest, BrowsesTheHostServiceTypeOnce) {
    nearby.start();
    nearby.start();
    ASSERT_EQ(browsers.records.size(), 1u);
    EXPECT_TRUE(browsers.latest().started);
    EXPECT_EQ(browsers.latest().type, "_tessaril._tcp");
    EXPECT_EQ(browsers.latest().domain, "local.");
}

TEST_F(NearbyHostsTest, ListsResolvedHostsByNameThenAddress) {
    auto& browser = browse({"e10", "e2", "alpha", "beta", "twin-b", "twin-a"});
    ASSERT_EQ(browser.resolutions.size(), 6u);
    EXPECT_EQ(browser.resolutions[0].timeout, 5s);
    EXPECT_TRUE(nearby.hosts().empty());

    browser.finish("e10", at("host 10", "ten.local"));
    browser.finish("e2", at("Host 2", "two.local"));
    browser.finish("alpha", at("alpha", "alpha.local"));
    browser.finish("beta", at("Beta", "beta.local"));
    browser.finish("twin-b", at("Twin", "b.local"));
    browser.finish("twin-a", at("Twin", "a.local"));

    std::vector<std::string> names;
    for (const Host& host : nearby.hosts()) names.push_back(host.name);
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "Beta", "Host 2", "host 10", "Twin", "Twin"}));
    EXPECT_EQ(addresses()[4], "http://a.local:8767");
    EXPECT_EQ(addresses()[5], "http://b.local:8767");
    EXPECT_EQ(nearby.hosts()[0].id, endpoint("alpha"));
    EXPECT_EQ(published.back(), nearby.hosts());
}

TEST_F(NearbyHostsTest, ResolvesWithTheTypeEndingInADot) {
    nearby.start();
    auto& browser = browsers.latest();
    browser.report(State::ready);
    browser.reportResults({{"plain", "_tessaril._tcp", "local"}, {"dotted", "_tessaril._tcp.", "local."}});
    ASSERT_EQ(browser.resolutions.size(), 2u);
    for (const auto& resolution : browser.resolutions) EXPECT_EQ(resolution.endpoint.type, "_tessaril._tcp.");
    EXPECT_EQ(browser.resolutionOf("dotted")->endpoint.domain, "local.");
}

TEST_F(NearbyHostsTest, KeepsOneRowPerEndpoint) {
    auto& browser = browse({"one", "two"});
    browser.finish("one", at("Mac", "mac.local"));
    browser.finish("one", at("Mac", "mac.local.", 9000));
    browser.finish("two", at("Mac", "mac.local"));

    ASSERT_EQ(nearby.hosts().size(), 2u);
    EXPECT_EQ(addresses(), (std::vector<std::string>{"http://mac.local:8767", "http://mac.local:9000"}));
    EXPECT_EQ(nearby.hosts()[0].id, endpoint("two"));
}

TEST_F(NearbyHostsTest, ListsNothingForResolutionsThatFailOrGiveNoUsableAddress) {
    const std::vector<std::string> names = {"timeout", "no host", "elsewhere", "port 0", "spaced", "nul", "control"};
    auto& browser = browse(names);
    browser.finish("timeout", std::unexpected(ResolveError{ResolveError::Kind::timedOut, "5 s"}));
    browser.finish("no host", at("no host", ""));
    browser.finish("elsewhere", at("elsewhere", "mac.example.com"));
    browser.finish("port 0", at("port 0", "mac.local", 0));
    browser.finish("spaced", at("spaced", "my mac.local"));
    browser.finish("nul", at("nul", std::string("mac\0evil.local", 14)));
    browser.finish("control", at("control", "m\x7F" "ac.local"));
    EXPECT_TRUE(nearby.hosts().empty());

    browser.reportResults(endpoints(names));
    EXPECT_EQ(browser.resolutions.size(), names.size());  // not retried
}

// A host name is UTF-8 in DNS-SD: the address carries it percent-encoded, and gives back the name
// the responder answers to.
TEST_F(NearbyHostsTest, ListsNonAsciiHostNamesAtAnAddressThatParses) {
    auto& browser = browse({"umlaut"});
    browser.finish("umlaut", at("Jürgens", "Jürgens-MacBook.local."));
    ASSERT_EQ(addresses(), (std::vector<std::string>{"http://J%C3%BCrgens-MacBook.local:8767"}));
    const auto url = base::Url::parse(addresses()[0]);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->decodedHost(), "Jürgens-MacBook.local");
}

TEST_F(NearbyHostsTest, ForgetsServicesThatLeave) {
    auto& browser = browse({"a", "b", "c"});
    browser.finish("a", at("A", "a.local"));
    browser.finish("b", at("B", "b.local"));

    browser.reportResults(endpoints({"b"}));
    EXPECT_EQ(addresses(), (std::vector<std::string>{"http://b.local:8767"}));
    EXPECT_TRUE(browser.resolutionOf("a")->stopped);
    EXPECT_TRUE(browser.resolutionOf("c")->stopped);
    EXPECT_FALSE(browser.resolutionOf("b")->stopped);

    browser.finish("c", at("C", "c.local"));  // too late
    EXPECT_EQ(nearby.hosts().size(), 1u);

    browser.reportResults(endpoints({"a", "b"}));  // back again: a fresh resolution
    EXPECT_EQ(browser.resolutions.size(), 4u);
    browser.resolutions[0].completion(at("A", "stale.local"));  // the first one, long stopped
    EXPECT_EQ(nearby.hosts().size(), 1u);
    browser.finish("a", at("A", "a.local"));
    EXPECT_EQ(nearby.hosts().size(), 2u);
}

TEST_F(NearbyHostsTest, TakesResultsOnlyWhileReady) {
    nearby.start();
    auto& browser = browsers.latest();
    browser.reportResults(endpoints({"early"}));
    EXPECT_TRUE(browser.resolutions.empty());

    browser.report(State::ready);
    ASSERT_EQ(browser.resolutions.size(), 1u);
    EXPECT_EQ(browser.resolutions[0].endpoint.name, "early");

    browser.report(State::waiting);
    browser.reportResults(endpoints({"early", "later"}));
    EXPECT_EQ(browser.resolutions.size(), 1u);
}

TEST_F(NearbyHostsTest, EmptiesTheListWhenTheBrowserFailsOrWaits) {
    for (State state : {State::failed, State::waiting}) {
        SCOPED_TRACE(static_cast<int>(state));
        nearby.stop();
        auto& browser = browse({"mac"});
        browser.finish("mac", at("Mac", "mac.local"));
        ASSERT_EQ(nearby.hosts().size(), 1u);

        browser.report(state);
        EXPECT_TRUE(nearby.hosts().empty());
        EXPECT_TRUE(browser.resolutionOf("mac")->stopped);
        EXPECT_TRUE(published.back().empty());

        nearby.start();  // the failed browser is still the current one
        EXPECT_EQ(&browsers.latest(), &browser);
        browser.report(State::ready);
        browser.finish("mac", at("Mac", "mac.local"));
        EXPECT_EQ(nearby.hosts().size(), 1u);
    }
}

TEST_F(NearbyHostsTest, StopEndsTheBrowseAndIgnoresLateCallbacks) {
    auto& old = browse({"mac", "pending"});
    old.finish("mac", at("Mac", "mac.local"));

    nearby.stop();
    EXPECT_TRUE(old.cancelled);
    EXPECT_TRUE(old.destroyed);
    EXPECT_TRUE(nearby.hosts().empty());
    EXPECT_TRUE(published.back().empty());

    old.report(State::ready);
    old.reportResults(endpoints({"mac", "other"}));
    old.finish("pending", at("Pending", "pending.local"));
    EXPECT_TRUE(nearby.hosts().empty());
    EXPECT_EQ(old.resolutions.size(), 2u);

    auto& fresh = browse({"new"});
    EXPECT_NE(&fresh, &old);
    fresh.finish("new", at("New", "new.local"));
    old.report(State::failed);
    old.reportResults(endpoints({"mac"}));
    old.finish("mac", at("Mac", "mac.local"));
    EXPECT_EQ(fresh.resolutions.size(), 1u);
    EXPECT_EQ(addresses(), (std::vector<std::string>{"http://new.local:8767"}));
}

}  // namespace
}  // namespace orvanta::client
