// The display seam of display aspect fit over the virtual display service and the platform's
// display arrangement.
#pragma once

#include <memory>

#include "host/controller/HostDisplaySeams.h"
#include "platform/DisplayConfiguration.h"

namespace orvanta::host {

class SystemHostDisplays final : public HostDisplays {
public:
    // `service` makes displays on `displayQueue` ("zq2.vdisplay"); both outlive this adapter.
    SystemHostDisplays(std::shared_ptr<VirtualDisplayService> service,
                       std::shared_ptr<platform::DisplayConfiguration> configuration, base::Executor& displayQueue);

    bool virtualDisplaysAvailable() override;
    std::vector<HostDisplay> activeDisplays() override;
    std::uint32_t mainDisplayID() override;
    std::expected<void, DisplayConfigurationError> applyOrigins(
        const std::vector<platform::DisplayPlacement>& origins) override;
    void waitForMainDisplay(base::Micros delay) override;
    base::Executor& displayQueue() override { return displayQueue_; }
    std::shared_ptr<VirtualDisplay> create(const DisplaySize& size) override;
    void release(std::shared_ptr<VirtualDisplay> display) override;

private:
    std::shared_ptr<VirtualDisplayService> service_;
    std::shared_ptr<platform::DisplayConfiguration> configuration_;
    base::Executor& displayQueue_;
};

}  // namespace orvanta::host
