// Paired devices' records as the host's registry keeps them, for the host screens' tests.
#pragma once

#include <chrono>
#include <string>

#include "host/transport/DeviceRegistry.h"

namespace orvanta::testing {

// A device paired on `day` of January 2024 and never seen since.
inline host::DeviceRecord pairedInJanuary(std::string id, std::string name, int day) {
    using namespace std::chrono;
    return {.deviceId = std::move(id),
            .name = std::move(name),
            .tokenHash = {},
            .pairedAt = sys_seconds(sys_days(year(2024) / 1 / day)),
            .lastSeen = {},
            .kind = {}};
}

}  // namespace orvanta::testing
