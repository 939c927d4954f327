#include "host/media/Blackout.h"

#include <string>
#include <vector>

#include "host/transport/Support.h"

namespace orvanta::host {

std::shared_ptr<BlackoutOverlay> BlackoutOverlay::create(base::Executor& main, platform::BlackoutCovers& covers,
                                                         LogFn log) {
    return std::shared_ptr<BlackoutOverlay>(new BlackoutOverlay(main, covers, std::move(log)));
}

BlackoutOverlay::BlackoutOverlay(base::Executor& main, platform::BlackoutCovers& covers, LogFn log)
    : main_(main),
      covers_(covers),
      log_(log ? std::move(log) : LogFn([](std::string_view line) { Log::info(line); })) {}

void BlackoutOverlay::request(bool on) {
    {
        std::lock_guard guard(lock_);
        desired_ = on;
    }
    main_.async([weak = weak_from_this()] {
        const auto self = weak.lock();
        if (!self) return;
        bool desired = false;
        {
            std::lock_guard guard(self->lock_);
            desired = self->desired_;
        }
        self->apply(desired);
    });
}

BlackoutOverlay::CoverIDs BlackoutOverlay::currentIDs() const {
    std::lock_guard guard(lock_);
    return currentIDs_;
}

void BlackoutOverlay::apply(bool on) {
    if (on == active_) return;
    active_ = on;
    if (!on) {
        ++revealGeneration_;
        for (const auto& [display, cover] : windows_) covers_.removeCover(cover.windowID);
        windows_.clear();
        publish();
        log_("blackout: uncover");
        return;
    }
    if (!observingScreens_) {
        observingScreens_ = true;
        covers_.observeScreens([weak = weak_from_this(), &main = main_] {
            main.async([weak] {
                if (const auto self = weak.lock()) self->syncScreens();
            });
        });
    }
    log_("blackout: cover");
    syncScreens();
}

void BlackoutOverlay::syncScreens() {
    if (!active_) return;
    std::map<std::uint32_t, platform::DisplayBounds> wanted;
    for (const auto& screen : covers_.screens()) {
        if (screen.displayID == 0 || screen.hostVirtualDisplay) continue;
        wanted.emplace(screen.displayID, screen.frame);
    }
    std::erase_if(windows_, [&](const auto& entry) {
        if (wanted.contains(entry.first)) return false;
        covers_.removeCover(entry.second.windowID);
        return true;
    });
    bool created = false;
    for (const auto& [display, frame] : wanted) {
        if (const auto it = windows_.find(display); it != windows_.end()) {
            if (it->second.frame != frame) {
                covers_.moveCover(it->second.windowID, frame);
                it->second.frame = frame;
            }
            continue;
        }
        if (const auto id = covers_.createCover(frame)) {
            windows_.emplace(display, Cover{*id, frame, false});
            created = true;
        }
    }
    publish();
    if (!created) return;

    const std::uint64_t generation = ++revealGeneration_;
    const CoverIDs ids = currentIDs();
    auto completion = [weak = weak_from_this(), &main = main_, generation, ids] {
        main.async([weak, generation, ids] {
            if (const auto self = weak.lock()) self->reveal(generation, ids);
        });
    };
    if (beforeReveal) {
        beforeReveal(ids, std::move(completion));
    } else {
        completion();
    }
}

// Every cover of the set that is still invisible turns black, also those of an earlier pass whose
// own reveal was superseded: otherwise a screen would stay uncovered while covers are wanted.
void BlackoutOverlay::reveal(std::uint64_t generation, const CoverIDs& ids) {
    if (!active_ || generation != revealGeneration_) return;
    std::size_t revealed = 0;
    for (auto& [display, cover] : windows_) {
        if (cover.revealed || !ids.contains(cover.windowID)) continue;
        covers_.revealCover(cover.windowID);
        cover.revealed = true;
        ++revealed;
    }
    log_("blackout: revealed " + std::to_string(revealed) + " window(s) on " + std::to_string(windows_.size()) +
         " display(s)");
    if (onRevealed) onRevealed();
}

void BlackoutOverlay::publish() {
    CoverIDs ids;
    for (const auto& [display, cover] : windows_) ids.insert(cover.windowID);
    std::lock_guard guard(lock_);
    currentIDs_ = std::move(ids);
}

}  // namespace orvanta::host
