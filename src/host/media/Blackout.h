// Black covers over the host's own screens while a device is connected. A cover never shows in
// the captured picture: it is made invisible, its window id is published for capture to exclude,
// and it turns black only after the controller's hook reports that capture excludes it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>

#include "base/Executor.h"
#include "platform/BlackoutCovers.h"

namespace orvanta::host {

enum class BlackoutSessionPhase { none, connected, waitingReturn };

struct BlackoutState {
    bool enabled = false;
    BlackoutSessionPhase phase = BlackoutSessionPhase::none;
    bool screenLocked = false;

    bool coversWanted() const { return enabled && !screenLocked && phase != BlackoutSessionPhase::none; }
    bool operator==(const BlackoutState&) const = default;
};

// Owns the covers; everything but `request` and `currentIDs` runs on the main executor.
class BlackoutOverlay final : public std::enable_shared_from_this<BlackoutOverlay> {
public:
    using CoverIDs = std::set<std::uint32_t>;
    using LogFn = std::function<void(std::string_view)>;

    static std::shared_ptr<BlackoutOverlay> create(base::Executor& main, platform::BlackoutCovers& covers,
                                                   LogFn log = {});

    // Called with every current cover id and a completion, to be called (on any thread) once
    // capture no longer shows those windows.
    std::function<void(const CoverIDs&, std::function<void()> completion)> beforeReveal;
    std::function<void()> onRevealed;

    // Any thread: the latest request wins, however many are queued.
    void request(bool on);
    // Any thread: the ids capture must exclude.
    CoverIDs currentIDs() const;

    bool active() const { return active_; }
    std::uint64_t revealGeneration() const { return revealGeneration_; }

private:
    struct Cover {
        std::uint32_t windowID = 0;
        platform::DisplayBounds frame;
        bool revealed = false;
    };

    BlackoutOverlay(base::Executor& main, platform::BlackoutCovers& covers, LogFn log);
    void apply(bool on);
    void syncScreens();
    void reveal(std::uint64_t generation, const CoverIDs& ids);
    void publish();

    base::Executor& main_;
    platform::BlackoutCovers& covers_;
    LogFn log_;
    std::map<std::uint32_t, Cover> windows_;  // by display id
    bool active_ = false;
    std::uint64_t revealGeneration_ = 0;
    bool observingScreens_ = false;

    mutable std::mutex lock_;
    CoverIDs currentIDs_;
    bool desired_ = false;
};

}  // namespace orvanta::host
