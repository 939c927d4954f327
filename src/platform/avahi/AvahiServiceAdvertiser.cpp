#include "platform/avahi/AvahiServiceAdvertiser.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>

#include <mutex>
#include <optional>
#include <string>

#include "platform/avahi/AvahiLoop.h"

namespace orvanta::platform {
namespace {

// A DNS label; Avahi refuses longer service names.
constexpr std::size_t kMaxNameBytes = 63;
// Each collision yields a new name; a daemon that refuses every one of them is not worth chasing.
constexpr int kMaxRenames = 64;

// Cut to whole UTF-8 characters within the label limit.
std::string labelSized(std::string name) {
    if (name.size() <= kMaxNameBytes) return name;
    std::size_t end = kMaxNameBytes;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
    name.resize(end);
    return name;
}

std::string avahiError(int error) { return avahi_strerror(error); }

}  // namespace

// Everything but the owner link runs on Avahi's poll thread.
struct AvahiServiceAdvertiser::State {
    State(AvahiServiceAdvertiser& self, base::Executor& executor) : advertiser(&self), owner(executor) {}

    // Cleared when the advertiser is destroyed, after which nothing is posted to its executor.
    std::mutex ownerLock;
    AvahiServiceAdvertiser* advertiser;
    base::Executor& owner;
    std::weak_ptr<State> weakSelf;

    const AvahiPoll* api = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    std::string startFailure;  // why Avahi could not be reached at all

    std::optional<ServiceRegistration> wanted;
    std::string name;  // the name being published, after any renames
    int renames = 0;
    bool announced = false;

    void report(AdvertisementState state, std::string detail = {}) {
        AdvertisementEvent event{state, name, std::move(detail)};
        std::lock_guard lock(ownerLock);
        if (!advertiser) return;
        owner.async([weak = weakSelf, event = std::move(event)] {
            // Runs on the owner's executor, where the advertiser is destroyed: no lock needed.
            auto alive = weak.lock();
            if (alive && alive->advertiser && alive->advertiser->onEvent) alive->advertiser->onEvent(event);
        });
    }

    void reportRemoved() {
        if (announced) report(AdvertisementState::removed);
        announced = false;
    }

    // With AVAHI_CLIENT_NO_FAIL the client waits for a daemon that is not there yet. Its state
    // callback may run before avahi_client_new returns, so it works on the client it is given.
    void connect() {
        int error = 0;
        client = avahi_client_new(api, AVAHI_CLIENT_NO_FAIL, &State::clientChanged, this, &error);
        if (!client) {
            startFailure = avahiError(error);
            if (wanted) report(AdvertisementState::failed, startFailure);
        }
    }

    bool rename() {
        if (++renames > kMaxRenames) {
            report(AdvertisementState::failed, "too many name collisions");
            return false;
        }
        char* alternative = avahi_alternative_service_name(name.c_str());
        std::string next = alternative;
        avahi_free(alternative);
        report(AdvertisementState::renamed, next);
        name = std::move(next);
        return true;
    }

    void registerService(AvahiClient* running) {
        if (!wanted) return;
        if (!group) group = avahi_entry_group_new(running, &State::groupChanged, this);
        if (!group) return report(AdvertisementState::failed, avahiError(avahi_client_errno(running)));
        avahi_entry_group_reset(group);
        announced = false;
        while (true) {
            AvahiStringList* txt = nullptr;
            for (auto it = wanted->txt.rbegin(); it != wanted->txt.rend(); ++it) {
                txt = avahi_string_list_add_pair(txt, it->first.c_str(), it->second.c_str());
            }
            const int added = avahi_entry_group_add_service_strlst(
                group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags{}, name.c_str(), wanted->type.c_str(),
                wanted->domain.c_str(), nullptr, wanted->port, txt);
            avahi_string_list_free(txt);
            if (added == AVAHI_ERR_COLLISION) {
                if (!rename()) return;
                continue;
            }
            if (added < 0) return report(AdvertisementState::failed, avahiError(added));
            if (const int committed = avahi_entry_group_commit(group); committed < 0) {
                return report(AdvertisementState::failed, avahiError(committed));
            }
            return;
        }
    }

    static void clientChanged(AvahiClient* changed, AvahiClientState state, void* userdata) {
        auto& self = *static_cast<State*>(userdata);
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                self.registerService(changed);
                return;
            case AVAHI_CLIENT_S_COLLISION:
            case AVAHI_CLIENT_S_REGISTERING:
                // The host name is being (re)established: the service waits for the running state.
                if (self.group) avahi_entry_group_reset(self.group);
                self.reportRemoved();
                return;
            case AVAHI_CLIENT_FAILURE:
                if (avahi_client_errno(changed) == AVAHI_ERR_DISCONNECTED) {
                    // The daemon went away: start over with a client that waits for it to return.
                    self.reportRemoved();
                    self.group = nullptr;  // freed with its client
                    avahi_client_free(changed);
                    self.client = nullptr;
                    self.connect();
                } else if (self.wanted) {
                    self.report(AdvertisementState::failed, avahiError(avahi_client_errno(changed)));
                }
                return;
            case AVAHI_CLIENT_CONNECTING:
                return;
        }
    }

    static void groupChanged(AvahiEntryGroup* changed, AvahiEntryGroupState state, void* userdata) {
        auto& self = *static_cast<State*>(userdata);
        switch (state) {
            case AVAHI_ENTRY_GROUP_ESTABLISHED:
                self.announced = true;
                self.report(AdvertisementState::registered);
                return;
            case AVAHI_ENTRY_GROUP_COLLISION:
                // Another host on the network took the name after all.
                self.announced = false;
                if (self.rename()) self.registerService(avahi_entry_group_get_client(changed));
                return;
            case AVAHI_ENTRY_GROUP_FAILURE:
                self.announced = false;
                self.report(AdvertisementState::failed,
                            avahiError(avahi_client_errno(avahi_entry_group_get_client(changed))));
                return;
            case AVAHI_ENTRY_GROUP_UNCOMMITED:
            case AVAHI_ENTRY_GROUP_REGISTERING:
                return;
        }
    }
};

AvahiServiceAdvertiser::AvahiServiceAdvertiser(base::Executor& owner) : state_(std::make_shared<State>(*this, owner)) {
    state_->weakSelf = state_;
    auto loop = AvahiLoop::start();
    if (!loop) {
        state_->startFailure = loop.error();
        return;
    }
    loop_ = std::move(*loop);
    state_->api = loop_->api();
    loop_->post([state = state_] { state->connect(); });
}

AvahiServiceAdvertiser::~AvahiServiceAdvertiser() {
    {
        std::lock_guard lock(state_->ownerLock);
        state_->advertiser = nullptr;
    }
    if (!loop_) return;
    AvahiLoop::retire(std::move(loop_), [state = state_] {
        if (state->client) avahi_client_free(state->client);  // frees its entry group too
    });
}

void AvahiServiceAdvertiser::publish(const ServiceRegistration& registration) {
    auto apply = [registration](State& state) {
        state.wanted = registration;
        state.name = labelSized(registration.name);
        state.renames = 0;
        if (!state.client) {
            state.report(AdvertisementState::failed, state.startFailure);
        } else if (avahi_client_get_state(state.client) == AVAHI_CLIENT_S_RUNNING) {
            state.registerService(state.client);
        }
    };
    if (!loop_) return apply(*state_);
    loop_->post([state = state_, apply] { apply(*state); });
}

void AvahiServiceAdvertiser::withdraw() {
    if (!loop_) return;
    loop_->post([state = state_] {
        state->wanted.reset();
        if (state->group) avahi_entry_group_reset(state->group);
        state->reportRemoved();
    });
}

}  // namespace orvanta::platform
