// The controller's input seam over the real injector.
#pragma once

#include <functional>
#include <set>
#include <utility>

#include "host/controller/HostControlSeams.h"

namespace orvanta::host {

class InjectorInput final : public HostInput {
public:
    // `trusted` tells whether the display accepts synthetic input (XTest present).
    InjectorInput(InputInjector& injector, std::function<bool()> trusted)
        : injector_(injector), trusted_(std::move(trusted)) {}

    InputResult handle(const protocol::PointerInput& pointer, const std::string& source) override {
        return injector_.handle(pointer, source);
    }
    InputResult handle(const protocol::KeyInput& key, const std::string& source) override {
        return injector_.handle(key, source);
    }
    InputResult handle(const protocol::TextInput& text, const std::string& source) override {
        return injector_.handle(text, source);
    }
    bool trusted() override { return trusted_(); }
    NormalizedCursor cursorNormalized() override {
        const auto cursor = injector_.cursorNormalized();
        return {cursor.x, cursor.y, cursor.visible};
    }
    void endSession(const std::string& source, bool releaseAllSources) override {
        injector_.endSession(source, releaseAllSources);
    }
    void beginSession(const std::string& source) override { injector_.beginSession(source); }
    // The keys that went up are remembered, so the pointer release that follows does not lift them again.
    void releaseKeys() override { releasedKeys_ = injector_.releaseKeys(std::nullopt); }
    void releasePointerInputs() override { injector_.releasePointerInputs(true, std::exchange(releasedKeys_, {})); }
    void releaseHeldPointerInputs() override { injector_.releasePointerInputs(false, {}); }
    void releaseAll() override {
        const auto released = injector_.releaseKeys(std::nullopt);
        injector_.releasePointerInputs(false, released);
        injector_.refreshHoldTimeout();
    }
    InputMapping mapping() const override {
        return {injector_.targetRect, injector_.visibleWindowRect, injector_.displayID, injector_.displayContentRect};
    }
    void setMapping(const InputMapping& mapping) override {
        injector_.targetRect = mapping.targetRect;
        injector_.visibleWindowRect = mapping.visibleWindowRect;
        injector_.displayID = mapping.displayID;
        injector_.displayContentRect = mapping.displayContentRect;
    }

private:
    InputInjector& injector_;
    std::function<bool()> trusted_;
    std::set<std::uint16_t> releasedKeys_;
};

}  // namespace orvanta::host
