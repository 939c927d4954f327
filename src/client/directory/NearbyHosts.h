// Finds hosts on the local network by DNS-SD and lists the reachable ones, sorted, each with the
// base URL to pair with. Runs on the main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ServiceBrowser.h"

namespace orvanta::client {

class NearbyHosts {
public:
    struct Host {
        platform::ServiceEndpoint id;
        std::string name;     // the advertised instance name
        std::string address;  // "http://" + host name + ":" + port
        bool operator==(const Host&) const = default;
    };

    // `makeBrowser` is asked for a new browser at each start().
    explicit NearbyHosts(platform::ServiceBrowserFactory makeBrowser);
    ~NearbyHosts();

    NearbyHosts(const NearbyHosts&) = delete;
    NearbyHosts& operator=(const NearbyHosts&) = delete;

    // Starts browsing unless a browse is running.
    void start();
    // Ends the browse and every resolution, and empties the list.
    void stop();

    const std::vector<Host>& hosts() const { return hosts_; }
    // After each change of hosts().
    std::function<void(const std::vector<Host>&)> onHostsChanged;

private:
    struct Service {
        std::uint64_t ticket;  // tells this resolution from earlier ones of the same endpoint
        platform::ServiceBrowser::ResolveId resolveId;
    };

    bool isCurrent(std::uint64_t generation) const { return browser_ && generation == generation_; }
    void browserStateChanged(platform::ServiceBrowser::State state);
    void browserResultsChanged(const std::vector<platform::ServiceEndpoint>& results);
    void update(const std::vector<platform::ServiceEndpoint>& results);
    void resolved(const platform::ServiceEndpoint& endpoint, std::uint64_t ticket,
                  const platform::ResolveResult& result);
    void removeServices();
    void publish(std::vector<Host> hosts);
    void sort(std::vector<Host>& hosts) const;

    platform::ServiceBrowserFactory makeBrowser_;
    std::unique_ptr<platform::ServiceBrowser> browser_;
    std::uint64_t generation_ = 0;  // of browser_; callbacks of older browsers carry older numbers
    platform::ServiceBrowser::State browserState_ = platform::ServiceBrowser::State::setup;
    std::vector<platform::ServiceEndpoint> browserResults_;
    std::map<platform::ServiceEndpoint, Service> services_;
    std::uint64_t lastTicket_ = 0;
    std::vector<Host> hosts_;

    struct Collator;
    std::unique_ptr<Collator> collator_;
};

}  // namespace orvanta::client
