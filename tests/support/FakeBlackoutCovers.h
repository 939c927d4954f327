// BlackoutCovers in memory: screens set by the test, covers with their frame and visibility.
#pragma once

#include <map>
#include <vector>

#include "platform/BlackoutCovers.h"

namespace orvanta::testing {

class FakeBlackoutCovers final : public platform::BlackoutCovers {
public:
    struct Cover {
        platform::DisplayBounds frame;
        bool revealed = false;
    };

    std::vector<platform::CoverScreen> screenList;
    std::map<std::uint32_t, Cover> covers;
    int created = 0;
    int observers = 0;

    // Changes the screens and tells the observer, as a hot-plug would.
    void setScreens(std::vector<platform::CoverScreen> screens) {
        screenList = std::move(screens);
        if (changed_) changed_();
    }
    std::size_t revealedCount() const {
        std::size_t n = 0;
        for (const auto& [id, cover] : covers) n += cover.revealed ? 1 : 0;
        return n;
    }

    std::vector<platform::CoverScreen> screens() override { return screenList; }
    void observeScreens(std::function<void()> changed) override {
        ++observers;
        changed_ = std::move(changed);
    }
    std::optional<std::uint32_t> createCover(const platform::DisplayBounds& frame) override {
        ++created;
        const std::uint32_t id = nextID_++;
        covers[id] = Cover{frame, false};
        return id;
    }
    void moveCover(std::uint32_t id, const platform::DisplayBounds& frame) override { covers.at(id).frame = frame; }
    void revealCover(std::uint32_t id) override { covers.at(id).revealed = true; }
    void removeCover(std::uint32_t id) override { covers.erase(id); }

private:
    std::function<void()> changed_;
    std::uint32_t nextID_ = 0x400001;
};

}  // namespace orvanta::testing
