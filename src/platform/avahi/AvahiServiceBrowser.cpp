#include "platform/avahi/AvahiServiceBrowser.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>

#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "platform/avahi/AvahiLoop.h"

namespace orvanta::platform {
namespace {

using State = ServiceBrowser::State;
using ResolveId = ServiceBrowser::ResolveId;

std::string withoutFinalDot(std::string name) {
    if (name.ends_with('.')) name.pop_back();
    return name;
}

std::map<std::string, std::string> readTxt(AvahiStringList* list) {
    std::map<std::string, std::string> txt;
    for (AvahiStringList* item = list; item; item = avahi_string_list_get_next(item)) {
        char* key = nullptr;
        char* value = nullptr;
        std::size_t size = 0;
        if (avahi_string_list_get_pair(item, &key, &value, &size) != 0) continue;
        txt.emplace(key, value ? std::string(value, size) : std::string());
        avahi_free(key);
        avahi_free(value);
    }
    return txt;
}

}  // namespace

// Two halves: what Avahi's poll thread owns (client, browser, services seen, running resolvers),
// and what the owner's executor owns (pending completions and their timers, the callbacks). Each
// reaches the other only by posts: the owner by jobs for the poll thread, which run every Avahi
// call that waits for the daemon, and the poll thread by posts that hold the core weakly.
struct AvahiServiceBrowser::Core : std::enable_shared_from_this<Core> {
    struct ResolverSlot {
        Core* core;
        ResolveId id;
        ::AvahiServiceResolver* resolver = nullptr;
    };
    struct Pending {
        ResolveCompletion completion;
        base::TaskHandle timer;
    };

    Core(base::Executor& ownerExecutor, ServiceBrowser& browserInterface, std::string serviceType,
         std::string serviceDomain)
        : owner(ownerExecutor),
          self(&browserInterface),
          type(withoutFinalDot(std::move(serviceType))),
          domain(withoutFinalDot(std::move(serviceDomain))) {}

    // --- owner side ------------------------------------------------------------------------

    void start() {
        if (started || finished) return;
        started = true;
        auto made = AvahiLoop::start();
        if (!made) return postState(State::failed);
        loop = std::move(*made);
        api = loop->api();
        onPoll([](Core& core) { core.connect(); });
    }

    // Runs `job` on the poll thread, with the core kept alive for it.
    void onPoll(std::function<void(Core&)> job) {
        if (!loop || finished) return;
        loop->post([core = shared_from_this(), job = std::move(job)] { job(*core); });
    }

    ResolveId resolve(const ServiceEndpoint& endpoint, base::Micros timeout, ResolveCompletion completion) {
        ResolveId id = ++lastId;
        if (finished) return id;
        auto expire = [weak = weak_from_this(), id, timeout] {
            if (auto core = weak.lock()) {
                core->onPoll([id](Core& polled) { polled.abandonResolver(id); });
                core->finishResolve(id, std::unexpected(ResolveError{
                                            ResolveError::Kind::timedOut,
                                            "no answer within " + std::to_string(timeout.count() / 1000) + " ms"}));
            }
        };
        pending[id] = {std::move(completion), owner.asyncAfter(timeout, std::move(expire))};
        if (!loop) {
            postResolved(id, std::unexpected(ResolveError{ResolveError::Kind::failed, "not browsing"}));
        } else {
            onPoll([id, endpoint](Core& core) { core.startResolver(id, endpoint); });
        }
        return id;
    }

    void stopResolving(ResolveId id) {
        if (auto it = pending.find(id); it != pending.end()) {
            it->second.timer.cancel();
            pending.erase(it);
        }
        onPoll([id](Core& core) { core.abandonResolver(id); });
    }

    // Ends everything Avahi does for us, without waiting for the daemon: the poll thread stops
    // and frees the client on a thread of its own.
    void shutdown() {
        if (finished) return;
        finished = true;
        for (auto& [id, entry] : pending) entry.timer.cancel();
        pending.clear();
        if (!loop) return;
        AvahiLoop::retire(std::move(loop), [core = shared_from_this()] {
            // Frees the browser and the resolvers with it.
            if (core->client) avahi_client_free(core->client);
        });
    }

    // No posts to the owner's executor once the browser is gone.
    void ownerGone() {
        std::lock_guard lock(ownerLock);
        self = nullptr;
    }

    void deliverState(State state) {
        if (!self || (finished && state != State::cancelled)) return;
        // A copy: the callback may destroy the browser that holds it.
        auto callback = self->onStateChanged;
        if (callback) callback(state);
    }

    void deliverResults(const std::vector<ServiceEndpoint>& results) {
        if (!self || finished) return;
        auto callback = self->onResultsChanged;
        if (callback) callback(results);
    }

    void finishResolve(ResolveId id, ResolveResult result) {
        auto it = pending.find(id);
        if (it == pending.end()) return;
        ResolveCompletion completion = std::move(it->second.completion);
        it->second.timer.cancel();
        pending.erase(it);
        completion(std::move(result));
    }

    // --- poll side -------------------------------------------------------------------------

    void connect() {
        int error = 0;
        client = avahi_client_new(api, AVAHI_CLIENT_NO_FAIL, &onClientState, this, &error);
        if (!client) postState(State::failed);
    }

    void startResolver(ResolveId id, const ServiceEndpoint& endpoint) {
        auto failed = [&](std::string why) {
            postResolved(id, std::unexpected(ResolveError{ResolveError::Kind::failed, std::move(why)}));
        };
        if (!client) return failed("no connection to the DNS-SD daemon");
        auto slot = std::make_unique<ResolverSlot>(ResolverSlot{this, id});
        slot->resolver = avahi_service_resolver_new(
            client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, endpoint.name.c_str(), withoutFinalDot(endpoint.type).c_str(),
            withoutFinalDot(endpoint.domain).c_str(), AVAHI_PROTO_UNSPEC, AvahiLookupFlags{}, &onResolved, slot.get());
        if (!slot->resolver) return failed(avahi_strerror(avahi_client_errno(client)));
        resolvers[id] = std::move(slot);
    }

    void abandonResolver(ResolveId id) {
        if (auto it = resolvers.find(id); it != resolvers.end()) {
            avahi_service_resolver_free(it->second->resolver);
            resolvers.erase(it);
        }
    }

    void post(std::function<void(Core&)> delivery) {
        std::lock_guard lock(ownerLock);
        if (!self) return;
        owner.async([weak = weak_from_this(), delivery = std::move(delivery)] {
            if (auto core = weak.lock()) delivery(*core);
        });
    }
    void postState(State state) {
        post([state](Core& core) { core.deliverState(state); });
    }
    void postResults() {
        std::vector<ServiceEndpoint> results;
        for (const auto& [endpoint, sightings] : seen) results.push_back(endpoint);
        post([results = std::move(results)](Core& core) { core.deliverResults(results); });
    }
    void postResolved(ResolveId id, ResolveResult result) {
        post([id, result = std::move(result)](Core& core) mutable { core.finishResolve(id, std::move(result)); });
    }

    static void onClientState(AvahiClient* changed, AvahiClientState state, void* userdata) {
        static_cast<Core*>(userdata)->clientStateChanged(changed, state);
    }

    void clientStateChanged(AvahiClient* changed, AvahiClientState state) {
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
            case AVAHI_CLIENT_S_REGISTERING:
            case AVAHI_CLIENT_S_COLLISION:
                return ensureBrowser(changed);
            case AVAHI_CLIENT_CONNECTING:
                return postState(State::waiting);
            case AVAHI_CLIENT_FAILURE:
                // `client` is still unset while avahi_client_new reports a failure of its own.
                if (changed == client && avahi_client_errno(changed) == AVAHI_ERR_DISCONNECTED) return reconnect();
                return postState(State::failed);
        }
    }

    void ensureBrowser(AvahiClient* running) {
        if (browser) return;
        browser = avahi_service_browser_new(running, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type.c_str(), domain.c_str(),
                                            AvahiLookupFlags{}, &onBrowse, this);
        postState(browser ? State::ready : State::failed);
    }

    // The daemon (or the bus) went away: everything made through the old client is void. A new
    // client waits for the daemon to come back.
    void reconnect() {
        for (const auto& [id, slot] : resolvers) {
            postResolved(id, std::unexpected(ResolveError{ResolveError::Kind::failed, "the DNS-SD daemon went away"}));
        }
        if (!seen.empty()) {
            seen.clear();
            postResults();
        }
        postState(State::waiting);
        avahi_client_free(client);
        client = nullptr;
        browser = nullptr;
        resolvers.clear();
        connect();
    }

    static void onBrowse(::AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                         AvahiBrowserEvent event, const char* name, const char* serviceType, const char* serviceDomain,
                         AvahiLookupResultFlags, void* userdata) {
        auto* core = static_cast<Core*>(userdata);
        switch (event) {
            case AVAHI_BROWSER_NEW:
                return core->sighted({name, serviceType, serviceDomain}, {interface, protocol}, true);
            case AVAHI_BROWSER_REMOVE:
                return core->sighted({name, serviceType, serviceDomain}, {interface, protocol}, false);
            case AVAHI_BROWSER_FAILURE:
                return core->postState(State::failed);
            case AVAHI_BROWSER_ALL_FOR_NOW:
            case AVAHI_BROWSER_CACHE_EXHAUSTED:
                return;
        }
    }

    // One service is announced once per interface and address family; it is present while any
    // of those announcements is.
    void sighted(const ServiceEndpoint& endpoint, std::pair<int, int> where, bool present) {
        if (present) {
            auto& sightings = seen[endpoint];
            bool first = sightings.empty();
            sightings.insert(where);
            if (first) postResults();
            return;
        }
        auto it = seen.find(endpoint);
        if (it == seen.end()) return;
        it->second.erase(where);
        if (!it->second.empty()) return;
        seen.erase(it);
        postResults();
    }

    static void onResolved(::AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
                           const char* name, const char*, const char*, const char* hostName,
                           const AvahiAddress* address, std::uint16_t port, AvahiStringList* txt,
                           AvahiLookupResultFlags, void* userdata) {
        auto* slot = static_cast<ResolverSlot*>(userdata);
        Core* core = slot->core;
        ResolveId id = slot->id;
        ResolveResult result;
        if (event == AVAHI_RESOLVER_FOUND) {
            ResolvedService service{name ? name : "", hostName ? hostName : "", port, {}, readTxt(txt)};
            if (address) {
                char text[AVAHI_ADDRESS_STR_MAX] = {};
                avahi_address_snprint(text, sizeof text, address);
                service.addresses.emplace_back(text);
            }
            result = std::move(service);
        } else {
            AvahiClient* client = avahi_service_resolver_get_client(resolver);
            result =
                std::unexpected(ResolveError{ResolveError::Kind::failed, avahi_strerror(avahi_client_errno(client))});
        }
        avahi_service_resolver_free(resolver);
        core->resolvers.erase(id);
        core->postResolved(id, std::move(result));
    }

    // Owner side.
    base::Executor& owner;
    std::mutex ownerLock;  // guards `self` against the poll thread's posts
    ServiceBrowser* self;
    const std::string type;
    const std::string domain;
    bool started = false;
    bool finished = false;
    ResolveId lastId = 0;
    std::map<ResolveId, Pending> pending;
    std::unique_ptr<AvahiLoop> loop;

    // Poll side.
    const AvahiPoll* api = nullptr;
    AvahiClient* client = nullptr;
    ::AvahiServiceBrowser* browser = nullptr;
    std::map<ServiceEndpoint, std::set<std::pair<int, int>>> seen;
    std::map<ResolveId, std::unique_ptr<ResolverSlot>> resolvers;
};

AvahiServiceBrowser::AvahiServiceBrowser(base::Executor& owner, std::string type, std::string domain)
    : core_(std::make_shared<Core>(owner, *this, std::move(type), std::move(domain))) {}

AvahiServiceBrowser::~AvahiServiceBrowser() {
    core_->shutdown();
    core_->ownerGone();
}

void AvahiServiceBrowser::start() { core_->start(); }

void AvahiServiceBrowser::cancel() {
    if (core_->finished) return;
    core_->shutdown();
    core_->postState(State::cancelled);
}

ServiceBrowser::ResolveId AvahiServiceBrowser::resolve(const ServiceEndpoint& endpoint, base::Micros timeout,
                                                       ResolveCompletion completion) {
    return core_->resolve(endpoint, timeout, std::move(completion));
}

void AvahiServiceBrowser::stopResolving(ResolveId id) { core_->stopResolving(id); }

}  // namespace orvanta::platform
