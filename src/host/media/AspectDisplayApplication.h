// The bookkeeping of one application of display aspect fit to one virtual display: which windows
// failed to move and when they may be tried again, whether capture has moved to the display,
// whether a batch of moves runs, and how often the window list could not be read. Used on the
// controller's queue only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace orvanta::host {

// Why one window move failed. `cannotComplete`: the system could not move it right now.
struct AspectMoveFailure {
    std::string description;
    bool cannotComplete = false;
    bool operator==(const AspectMoveFailure&) const = default;
};

class AspectDisplayApplication final {
public:
    struct WindowKey {
        std::uint32_t id = 0;
        std::int32_t pid = 0;
        bool operator==(const WindowKey&) const = default;
    };

    using NowFn = std::function<double()>;  // seconds
    using LogFn = std::function<void(std::string_view)>;

    // By default the clock is the process uptime and the log is the host log.
    explicit AspectDisplayApplication(std::uint32_t displayID, NowFn now = {}, LogFn log = {});

    const std::uint32_t displayID;
    bool captureSelected = false;
    bool moving = false;

    bool canMove(const WindowKey& key) const;
    void recordMove(const WindowKey& key, const std::optional<AspectMoveFailure>& failure);
    void recordArrivalOnSweep(const WindowKey& key);
    // The window is not one to move (not a standard window): never offered again, nothing logged.
    void exclude(const WindowKey& key);
    void recordWindowList(bool available);
    // One sweep: promote the display, switch capture to it once, and start a batch of moves when
    // capture shows it and nothing else is moving. `move` gets a `done` to call when its batch ends.
    void sweep(const std::function<bool()>& promote, const std::function<void()>& switchCapture, bool captureActive,
               const std::function<void(std::function<void()> done)>& move);

    std::int64_t listFailures() const { return listFailures_; }

    static constexpr std::int64_t kMaxCountedFailures = 2;
    static constexpr double kCannotCompleteRetrySeconds = 4.0;
    static constexpr std::int64_t kListFailureLimit = 3;

private:
    struct MoveAttempts {
        std::int64_t totalFailures = 0;
        std::int64_t countedFailures = 0;
        double retryAfter = 0;
    };
    struct KeyHash {
        std::size_t operator()(const WindowKey& k) const {
            return std::hash<std::uint64_t>{}((std::uint64_t{k.id} << 32) | static_cast<std::uint32_t>(k.pid));
        }
    };

    std::string windowText(const WindowKey& key) const;

    LogFn log_;
    std::unordered_map<WindowKey, MoveAttempts, KeyHash> failures_;
    NowFn now_;
    std::int64_t listFailures_ = 0;
    // Shared with pending `done` callbacks, so a batch that ends after this object is gone is harmless.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace orvanta::host
