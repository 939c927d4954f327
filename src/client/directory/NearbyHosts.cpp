#include "client/directory/NearbyHosts.h"

#include <unicode/ucol.h>
#include <unicode/uloc.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string_view>

#include "protocol/BonjourDiscovery.h"

namespace orvanta::client {
namespace {

using State = platform::ServiceBrowser::State;

// Long enough for a responder on a busy network, short enough that a dead one is not waited on.
constexpr auto kResolveTimeoutSeconds = std::chrono::seconds(5);

}  // namespace

// Host names as people expect them sorted: letter case only breaks ties, runs of digits compare by
// value ("Mac 2" before "Mac 10"), letters in the user's locale.
struct NearbyHosts::Collator {
    Collator() {
        const char* locale = uloc_getDefault();
        // The C locale's collation orders by code point, capitals first; the root order is the
        // one that ignores case.
        if (std::string_view(locale) == "en_US_POSIX") locale = "";
        UErrorCode status = U_ZERO_ERROR;
        handle = ucol_open(locale, &status);
        if (U_SUCCESS(status)) ucol_setAttribute(handle, UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
        if (U_FAILURE(status) && handle) {
            ucol_close(handle);
            handle = nullptr;
        }
    }
    ~Collator() {
        if (handle) ucol_close(handle);
    }
    Collator(const Collator&) = delete;
    Collator& operator=(const Collator&) = delete;

    // Negative, zero or positive as `a` sorts before, with or after `b`.
    int compare(std::string_view a, std::string_view b) const {
        if (handle) {
            UErrorCode status = U_ZERO_ERROR;
            UCollationResult result = ucol_strcollUTF8(handle, a.data(), static_cast<std::int32_t>(a.size()), b.data(),
                                                       static_cast<std::int32_t>(b.size()), &status);
            if (U_SUCCESS(status)) return result;
        }
        return a.compare(b);
    }

    UCollator* handle = nullptr;
};

NearbyHosts::NearbyHosts(platform::ServiceBrowserFactory makeBrowser)
    : makeBrowser_(std::move(makeBrowser)), collator_(std::make_unique<Collator>()) {}

// The browser goes first: nothing of ours may be gone while it can still call back.
NearbyHosts::~NearbyHosts() { browser_.reset(); }

void NearbyHosts::start() {
    if (browser_) return;
    auto browser = makeBrowser_(protocol::BonjourDiscovery::serviceType, protocol::BonjourDiscovery::domain);
    if (!browser) return;
    std::uint64_t generation = ++generation_;
    browser->onStateChanged = [this, generation](State state) {
        if (isCurrent(generation)) browserStateChanged(state);
    };
    browser->onResultsChanged = [this, generation](const std::vector<platform::ServiceEndpoint>& results) {
        if (isCurrent(generation)) browserResultsChanged(results);
    };
    browser_ = std::move(browser);
    browserState_ = State::setup;
    browserResults_.clear();
    browser_->start();
}

void NearbyHosts::stop() {
    if (browser_) browser_->cancel();
    browser_.reset();
    removeServices();
}

void NearbyHosts::browserStateChanged(State state) {
    browserState_ = state;
    switch (state) {
        case State::ready:
            return update(browserResults_);
        case State::waiting:
        case State::failed:
        case State::cancelled:
            return removeServices();
        case State::setup:
            return;
    }
}

void NearbyHosts::browserResultsChanged(const std::vector<platform::ServiceEndpoint>& results) {
    browserResults_ = results;
    if (browserState_ == State::ready) update(results);
}

void NearbyHosts::update(const std::vector<platform::ServiceEndpoint>& results) {
    std::set<platform::ServiceEndpoint> current(results.begin(), results.end());
    std::erase_if(services_, [&](const auto& entry) {
        if (current.contains(entry.first)) return false;
        browser_->stopResolving(entry.second.resolveId);
        return true;
    });
    for (const platform::ServiceEndpoint& endpoint : current) {
        if (services_.contains(endpoint)) continue;
        platform::ServiceEndpoint target = endpoint;
        if (!target.type.ends_with('.')) target.type += '.';
        std::uint64_t ticket = ++lastTicket_;
        auto resolveId = browser_->resolve(
            target, kResolveTimeoutSeconds,
            [this, endpoint, ticket](const platform::ResolveResult& result) { resolved(endpoint, ticket, result); });
        services_[endpoint] = {ticket, resolveId};
    }
    // Last, since a listener may stop us. Rows that stay keep their order.
    std::vector<Host> kept = hosts_;
    std::erase_if(kept, [&](const Host& host) { return !current.contains(host.id); });
    publish(std::move(kept));
}

// A failed resolution leaves its service in place, unlisted and not retried, until its endpoint
// leaves the results.
void NearbyHosts::resolved(const platform::ServiceEndpoint& endpoint, std::uint64_t ticket,
                           const platform::ResolveResult& result) {
    auto service = services_.find(endpoint);
    if (service == services_.end() || service->second.ticket != ticket) return;
    if (!result || result->hostName.empty()) return;
    auto address = protocol::BonjourDiscovery::baseURL(result->hostName, result->port);
    if (!address) return;

    std::vector<Host> next = hosts_;
    std::erase_if(next, [&](const Host& host) { return host.id == endpoint; });
    next.push_back({endpoint, result->name, *address});
    sort(next);
    publish(std::move(next));
}

void NearbyHosts::removeServices() {
    if (browser_) {
        for (const auto& [endpoint, service] : services_) browser_->stopResolving(service.resolveId);
    }
    services_.clear();
    publish({});
}

void NearbyHosts::publish(std::vector<Host> hosts) {
    if (hosts == hosts_) return;
    hosts_ = std::move(hosts);
    if (onHostsChanged) onHostsChanged(hosts_);
}

void NearbyHosts::sort(std::vector<Host>& hosts) const {
    std::stable_sort(hosts.begin(), hosts.end(), [this](const Host& a, const Host& b) {
        int byName = collator_->compare(a.name, b.name);
        return byName != 0 ? byName < 0 : a.address < b.address;
    });
}

}  // namespace orvanta::client
