// Fakes of the host controller's component views: each records what the controller asked of it in
// one shared call log, and answers as the test sets it up.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/controller/HostComponents.h"
#include "support/FakeAspectWindows.h"
#include "support/FakeFitWindows.h"
#include "support/FakeHostDisplays.h"
#include "support/FakeHostMedia.h"
#include "support/FakeScreenSource.h"

namespace orvanta::testing {

// Calls in the order they were made, across every fake sharing the log: "sender.checkStall", ...
using HostCallLog = std::shared_ptr<std::vector<std::string>>;

// Injection answers `result` for every input; the display is trusted unless that result asks for
// accessibility.
class FakeHostInput final : public host::HostInput {
public:
    explicit FakeHostInput(HostCallLog log) : log_(std::move(log)) {}
    host::InputResult handle(const protocol::PointerInput& pointer, const std::string& source) override {
        log_->push_back("input.pointer " + pointer.action + " " + source);
        return result;
    }
    host::InputResult handle(const protocol::KeyInput& key, const std::string& source) override {
        log_->push_back("input.key " + key.name + " " + source);
        return result;
    }
    host::InputResult handle(const protocol::TextInput& text, const std::string& source) override {
        log_->push_back("input.text " + text.value + " " + source);
        return result;
    }
    bool trusted() override { return result != host::InputResult::needsAccessibility; }
    host::NormalizedCursor cursorNormalized() override {
        ++cursorReads;
        return cursor;
    }
    void endSession(const std::string& source, bool releaseAllSources) override {
        log_->push_back("input.endSession " + source + (releaseAllSources ? " all" : ""));
    }
    void beginSession(const std::string& source) override { log_->push_back("input.beginSession " + source); }
    void releaseKeys() override { log_->push_back("input.releaseKeys"); }
    void releasePointerInputs() override { log_->push_back("input.releasePointerInputs"); }
    void releaseHeldPointerInputs() override { log_->push_back("input.releaseHeldPointerInputs"); }
    void releaseAll() override { log_->push_back("input.releaseAll"); }
    host::InputMapping mapping() const override { return inputMapping; }
    void setMapping(const host::InputMapping& mapping) override { inputMapping = mapping; }

    host::NormalizedCursor cursor{0.5, 0.5, true};
    host::InputMapping inputMapping;
    int cursorReads = 0;
    host::InputResult result = host::InputResult::ok;

private:
    HostCallLog log_;
};

// Reports a lock state; the unlock sequence's actions are not the controller's to take here.
class FakeHostUnlockEnvironment final : public host::UnlockEnvironment {
public:
    std::optional<bool> isScreenLocked() override {
        ++reads;
        return locked;
    }
    bool wakeDisplay() override { return false; }
    void postNudge() override {}
    void post(const host::UnlockKeystroke&) override {}
    void postReturn() override {}
    void pause(double) override {}

    std::optional<bool> locked = false;
    int reads = 0;
    std::string expectedPassword;  // set by the simulated-unlock factory of the tests
};

class FakeHostBlackout final : public host::HostBlackout {
public:
    explicit FakeHostBlackout(HostCallLog log) : log_(std::move(log)) {}
    void request(bool covered) override { log_->push_back(covered ? "blackout.on" : "blackout.off"); }
    void setBeforeReveal(std::function<void(std::function<void()>)> hook) override { beforeReveal = std::move(hook); }

    std::function<void(std::function<void()>)> beforeReveal;

private:
    HostCallLog log_;
};

// One set of fakes, handed to the controller by components().
struct FakeHostComponents {
    HostCallLog log = std::make_shared<std::vector<std::string>>();
    std::shared_ptr<FakeHostInput> input = std::make_shared<FakeHostInput>(log);
    std::shared_ptr<FakeHostUnlockEnvironment> unlock = std::make_shared<FakeHostUnlockEnvironment>();
    std::shared_ptr<FakeHostVideoSender> sender = std::make_shared<FakeHostVideoSender>(log);
    std::shared_ptr<FakeHostBlackout> blackout = std::make_shared<FakeHostBlackout>(log);
    bool virtualDisplaysAvailable = false;
    // Passwords the simulated unlock was asked to plan; "" plans to no keystrokes.
    std::vector<std::string> simulatedPasswords;

    host::HostComponents components() {
        return {.input = input,
                .unlockEnvironment = unlock,
                .sender = sender,
                .blackout = blackout,
                .simulatedUnlock =
                    [this](const std::string& password) {
                        simulatedPasswords.push_back(password);
                        auto simulated = std::make_shared<FakeHostUnlockEnvironment>();
                        simulated->locked = true;
                        simulated->expectedPassword = password;
                        return std::shared_ptr<host::UnlockEnvironment>(simulated);
                    },
                .virtualDisplaysAvailable = virtualDisplaysAvailable,
                .fitWindows = fitWindows,
                .displays = realDisplays ? realDisplays : displays,
                .aspectWindows = realAspectWindows ? realAspectWindows : aspectWindows,
                .media = media,
                .encoderQueue = &media->encoderQueue,
                // Diagnostics: the self test runs on the encoder queue over a source without displays.
                .blackoutSnapshot =
                    [log = log](const std::string& prefix) { log->push_back("blackoutSnapshot " + prefix); },
                .dualCaptureTest =
                    [this] {
                        log->push_back("dualCaptureTest");
                        return host::DualCaptureTest::create(
                            std::make_shared<FakeScreenSource>(), media->encoderQueue,
                            [log = log](std::string_view line) { log->emplace_back(line); });
                    }};
    }

    // Media fakes.
    std::shared_ptr<FakeHostMedia> media = std::make_shared<FakeHostMedia>(log);

    // Window fit fakes.
    std::shared_ptr<FakeFitWindows> fitWindows = std::make_shared<FakeFitWindows>(log);

    // Display fakes.
    std::shared_ptr<FakeHostDisplays> displays = std::make_shared<FakeHostDisplays>(log);
    std::shared_ptr<host::HostDisplays> realDisplays;  // a real adapter in place of the fake

    // Window migration fakes.
    std::shared_ptr<FakeAspectWindows> aspectWindows = std::make_shared<FakeAspectWindows>(log);
    std::shared_ptr<host::HostAspectWindows> realAspectWindows;  // a real adapter in place of the fake
};

}  // namespace orvanta::testing
