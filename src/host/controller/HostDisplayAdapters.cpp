#include "host/controller/HostDisplayAdapters.h"

#include <thread>

namespace orvanta::host {

SystemHostDisplays::SystemHostDisplays(std::shared_ptr<VirtualDisplayService> service,
                                       std::shared_ptr<platform::DisplayConfiguration> configuration,
                                       base::Executor& displayQueue)
    : service_(std::move(service)), configuration_(std::move(configuration)), displayQueue_(displayQueue) {}

bool SystemHostDisplays::virtualDisplaysAvailable() { return service_->isAvailable(); }

// The display server has no points: a display's mode is its size.
std::vector<HostDisplay> SystemHostDisplays::activeDisplays() {
    std::vector<HostDisplay> result;
    for (const auto& display : configuration_->activeDisplays()) {
        const auto& b = display.bounds;
        result.push_back({display.id,
                          {static_cast<double>(b.x), static_cast<double>(b.y), static_cast<double>(b.width),
                           static_cast<double>(b.height)},
                          {b.width, b.height},
                          display.ownVirtual});
    }
    return result;
}

std::uint32_t SystemHostDisplays::mainDisplayID() { return configuration_->mainDisplay(); }

std::expected<void, DisplayConfigurationError> SystemHostDisplays::applyOrigins(
    const std::vector<platform::DisplayPlacement>& origins) {
    return configuration_->setOrigins(origins);
}

void SystemHostDisplays::waitForMainDisplay(base::Micros delay) { std::this_thread::sleep_for(delay); }

std::shared_ptr<VirtualDisplay> SystemHostDisplays::create(const DisplaySize& size) { return service_->create(size); }

void SystemHostDisplays::release(std::shared_ptr<VirtualDisplay> display) { service_->release(std::move(display)); }

}  // namespace orvanta::host
