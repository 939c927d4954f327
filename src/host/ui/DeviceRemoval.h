// Carrying out a confirmed removal of paired devices: the stale guard, one revocation per record
// in order, the result line and where keyboard focus goes afterwards. While any revocation is in
// flight no other removal starts, and that holds however often the screen is hidden and shown
// again. Main thread only; completions that arrive after the flow is gone are dropped.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/ui/HostScreenRules.h"

namespace orvanta::host::ui {

class DeviceRemoval {
public:
    using Revoke = std::function<void(const std::string& deviceId, std::function<void(bool)> completion)>;
    struct Result {
        std::string text;
        bool success = false;
        bool operator==(const Result&) const = default;
    };

    // `devices` reads the controller's list as published now; `expanded` the groups shown open.
    DeviceRemoval(Revoke revoke, std::function<std::vector<DeviceRecord>()> devices,
                  std::function<std::vector<std::string>()> expanded);

    // Does nothing while another removal is in flight.
    void remove(const Removal& removal);

    bool busy() const { return !core_->removing.empty(); }
    const std::set<std::string>& removing() const { return core_->removing; }
    const std::optional<Result>& result() const { return core_->result; }

    // After every change of busy() or result().
    std::function<void()> onChange;
    // Once a removal has ended: the focus key to take ("" is the code button) and the text to announce.
    std::function<void(const std::string& focusKey, const std::string& announcement)> onFinished;

private:
    struct Core {
        std::set<std::string> removing;
        std::optional<Result> result;
    };
    struct Run;

    void finish(const Run& run);
    void changed() const;

    Revoke revoke_;
    std::function<std::vector<DeviceRecord>()> devices_;
    std::function<std::vector<std::string>()> expanded_;
    std::shared_ptr<Core> core_ = std::make_shared<Core>();
};

}  // namespace orvanta::host::ui
