// Fakes of the host controller's component views: each records what the controller asked of it in
// one shared call log, and answers as the test sets it up.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/controller/HostComponents.h"
#include "support/FakeAspectWindows.h"

namespace orvanta::testing {

// Calls in the order they were made, across every fake sharing the log: "sender.checkStall", ...
using HostCallLog = std::shared_ptr<std::vector<std::string>>;

class FakeHostInput final : public host::HostInput {
public:
    explicit FakeHostInput(HostCallLog log) : log_(std::move(log)) {}
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
    host::InputMapping mapping() const override { return inputMapping; }
    void setMapping(const host::InputMapping& mapping) override { inputMapping = mapping; }

    host::NormalizedCursor cursor{0.5, 0.5, true};
    host::InputMapping inputMapping;
    int cursorReads = 0;

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

class FakeHostEncoder final : public host::HostEncoder {
public:
    explicit FakeHostEncoder(HostCallLog log) : log_(std::move(log)) {}
    void forceKeyframe() override { log_->push_back("encoder.forceKeyframe"); }
    void invalidate() override { log_->push_back("encoder.invalidate"); }

private:
    HostCallLog log_;
};

class FakeHostCapture final : public host::HostCapture {
public:
    explicit FakeHostCapture(HostCallLog log) : log_(std::move(log)) {}
    bool running() const override { return isRunning; }
    bool capturesDisplay() const override { return display; }
    void updateOverlayExclusions(std::function<void()> done) override {
        log_->push_back("capture.updateOverlayExclusions");
        done();
    }
    void stop() override {
        log_->push_back("capture.stop");
        isRunning = false;
    }

    bool isRunning = true;
    bool display = true;

private:
    HostCallLog log_;
};

class FakeHostVideoSender final : public host::HostVideoSender {
public:
    explicit FakeHostVideoSender(HostCallLog log) : log_(std::move(log)) {}
    void checkStall(std::uint64_t nowMicros, host::HostEncoder* encoder) override {
        stallChecks.push_back(nowMicros);
        lastEncoder = encoder;
        log_->push_back("sender.checkStall");
    }
    void rebaseStallClock(std::uint64_t nowMicros) override {
        log_->push_back("sender.rebaseStallClock " + std::to_string(nowMicros));
    }
    void detach() override { log_->push_back("sender.detach"); }
    void attach(std::shared_ptr<host::WebSocketConnection> connection, bool pipelineRunning) override {
        attached = std::move(connection);
        log_->push_back(pipelineRunning ? "sender.attach running" : "sender.attach");
    }
    std::shared_ptr<host::WebSocketConnection> attached;

    std::vector<std::uint64_t> stallChecks;
    host::HostEncoder* lastEncoder = nullptr;

private:
    HostCallLog log_;
};

class FakeHostWindowsCursorStream final : public host::HostWindowsCursorStream {
public:
    void send(const host::NormalizedCursor& position, std::uint64_t nowMicros, host::WebSocketConnection&) override {
        sent.push_back({position, nowMicros});
    }
    std::vector<std::pair<host::NormalizedCursor, std::uint64_t>> sent;
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
        host::HostComponents components{
            .input = input,
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
            .virtualDisplaysAvailable = virtualDisplaysAvailable};

        // Media.
        // (end)

        // Window fit and follow.
        // (end)

        // Display aspect fit and the virtual display.
        // (end)

        // Window migration.
        components.aspectWindows = aspectWindows;
        // (end)
        return components;
    }

    // Media fakes.
    // (end)

    // Window fit fakes.
    // (end)

    // Display fakes.
    // (end)

    // Window migration fakes.
    std::shared_ptr<FakeAspectWindows> aspectWindows = std::make_shared<FakeAspectWindows>(log);
    // (end)
};

}  // namespace orvanta::testing
