// ServiceBrowser over the Avahi daemon: browsing and resolution run on Avahi's own poll thread,
// results come back on the owner's executor. A daemon that is missing or goes away makes the
// browser wait for it rather than fail.
#pragma once

#include <memory>
#include <string>

#include "base/Executor.h"
#include "platform/ServiceBrowser.h"

namespace orvanta::platform {

class AvahiServiceBrowser final : public ServiceBrowser {
public:
    // `owner` must outlive the browser; every callback runs there.
    AvahiServiceBrowser(base::Executor& owner, std::string type, std::string domain);
    ~AvahiServiceBrowser() override;

    AvahiServiceBrowser(const AvahiServiceBrowser&) = delete;
    AvahiServiceBrowser& operator=(const AvahiServiceBrowser&) = delete;

    void start() override;
    void cancel() override;
    ResolveId resolve(const ServiceEndpoint& endpoint, base::Micros timeout, ResolveCompletion completion) override;
    void stopResolving(ResolveId id) override;

    struct Core;

private:
    std::shared_ptr<Core> core_;  // shared with the hops to the owner, which find it gone once destroyed
};

}  // namespace orvanta::platform
