// What the host screens read of the host controller: one value, assigned on the main thread only,
// in the order the controller produced the changes.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/transport/DeviceRegistry.h"
#include "host/transport/HostPairLink.h"
#include "host/transport/HostSettingsModel.h"

namespace orvanta::host {

struct PairLinkImage {
    std::string link;
    QrMatrix qr;
    bool operator==(const PairLinkImage&) const = default;
};

struct HostPublishedState {
    bool screenCaptureFailed = false;
    std::string statusText = "起動中";
    std::optional<PairLinkImage> pairLink;
    std::optional<std::string> codeText;
    std::string codeNote;
    std::vector<DeviceRecord> devices;
    std::optional<std::string> connectedName;
    ListenState listenState = ListenState::starting;
    bool bonjourPolicyDenied = false;
    std::map<std::string, DeviceLink> links;  // by device identifier
    bool highResEnabled = false;
    bool highResAvailable = false;
    bool audioSending = false;
    bool blackoutEnabled = false;

    bool operator==(const HostPublishedState&) const = default;
};

// The main thread's copy with its change notification. Only the controller's main-thread hops write it.
class HostPublished {
public:
    const HostPublishedState& state() const { return state_; }
    // Called on the main thread after every assignment.
    std::function<void()> onChange;

    void assign(const std::function<void(HostPublishedState&)>& change) {
        change(state_);
        if (onChange) onChange();
    }

private:
    HostPublishedState state_;
};

}  // namespace orvanta::host
