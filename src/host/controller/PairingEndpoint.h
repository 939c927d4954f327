// The pairing endpoint and the pairing code on the host screen: one active code, its expiry, the
// pair link shown beside it, and the answer to a device's pairing request. Runs on the host queue.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/Clock.h"
#include "base/Executor.h"
#include "host/controller/HostPublishedState.h"
#include "host/transport/DeviceRegistry.h"
#include "host/transport/HTTPServer.h"
#include "host/transport/Pairing.h"

namespace orvanta::host {

class PairingEndpoint final : public std::enable_shared_from_this<PairingEndpoint> {
public:
    static constexpr std::size_t kMaxIdCharacters = 64;
    static constexpr std::size_t kMaxCodeCharacters = 32;

    // The executors, the clock, the registry and the published state outlive the endpoint.
    struct Dependencies {
        base::Executor* queue = nullptr;    // the host queue
        base::Executor* main = nullptr;     // where the published state is assigned
        base::Executor* utility = nullptr;  // the pair link lookup
        const base::Clock* clock = nullptr;
        std::shared_ptr<DeviceRegistry> registry;
        std::shared_ptr<HostPublished> published;
        // The pair link of a displayed code, or nothing; may block for seconds.
        std::function<std::optional<std::string>(const std::string& code)> pairLinkLookup;
    };

    explicit PairingEndpoint(Dependencies dependencies);

    // Set after construction.
    std::function<void(std::function<void(HostPublishedState&)>)> publish;
    std::function<void()> onDevicesChanged;  // a device was paired
    std::function<void(std::string_view)> log;

    // Answers a pairing request; a device that gave the active code is saved and shown.
    void handle(const HTTPRequest& request, const HTTPServer::PairReply& reply);
    // Replaces the code with a new one, shown with its pair link until it expires.
    void issue();
    // Replaces the code with a new one that is not shown.
    PairingCode issueUnshown();

private:
    double now() const { return static_cast<double>(clock_.uptimeMicros()) / 1e6; }
    void publishPairLink(const std::string& display);
    void expire();
    void clearDisplay();

    base::Executor& queue_;
    base::Executor& main_;
    base::Executor& utility_;
    const base::Clock& clock_;
    Dependencies dependencies_;
    PairingManager manager_;
};

}  // namespace orvanta::host
