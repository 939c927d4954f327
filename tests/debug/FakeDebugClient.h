// A client for the automation to drive: saved hosts, a session whose state the test sets, a window
// and a surface, and a record of everything sent. Pairing answers on the executor it is given.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/Executor.h"
#include "debug/DebugClient.h"

namespace orvanta::debug::testing {

class FakeDebugClient final : public DebugClient {
public:
    explicit FakeDebugClient(base::Executor& main) : main_(main) {}

    static client::HostListStore::Entry entry(std::string id, std::string displayName, std::string baseURL,
                                              client::HostListStore::Kind kind = client::HostListStore::Kind::mac) {
        client::HostListStore::Entry made;
        made.id = std::move(id);
        made.displayName = std::move(displayName);
        made.baseURL = std::move(baseURL);
        made.kind = kind;
        return made;
    }

    // ---- What the test sets.
    std::vector<client::HostListStore::Entry> entries;
    std::optional<std::string> selectedId;
    bool pairingSucceeds = true;
    std::string pairingError = "コードを確認してください";
    State sessionState = State::disconnected;
    State stateOnConnect = State::connected;
    client::StreamSize stream{1280, 720};
    std::optional<protocol::CursorPosition> hostCursor;
    // Where a "move" puts the host's cursor; nothing leaves it where it is.
    std::function<std::optional<protocol::CursorPosition>(double x, double y)> cursorAfterMove =
        [](double x, double y) { return protocol::CursorPosition{.x = x, .y = y}; };
    std::optional<std::string> notice;
    std::optional<std::string> activeId;
    bool selfConnection = false;
    double scale = 1.0;
    std::optional<SurfaceReport> surfaceReport = SurfaceReport{1200, 700, 2.0, 1};
    std::optional<ScreenRect> frame = ScreenRect{100, 50, 1200, 760};
    std::optional<ScreenRect> mainDisplay = ScreenRect{0, 0, 1920, 1080};
    double contentTop = 80;
    // Local events the "host" injects back onto this window for a pointer or key action.
    std::function<std::vector<ObservedEvent>(const std::string& action)> echo = [](const std::string&) {
        return std::vector<ObservedEvent>{};
    };

    // ---- What the automation did.
    std::vector<std::string> calls;
    std::vector<ScreenRect> framesSet;
    bool inputSuspended = false;
    bool monitoring = false;

    std::vector<std::string> savedBaseURLs() const override {
        std::vector<std::string> urls;
        for (const auto& entry : entries) urls.push_back(entry.baseURL);
        return urls;
    }
    std::optional<SelectedHost> selectedHost() const override {
        for (const auto& entry : entries) {
            if (entry.id == selectedId) return SelectedHost{entry.displayName, entry.kind, entry.baseURL};
        }
        return std::nullopt;
    }
    void addHost(const std::string& address, const std::string& code, client::HostListStore::Kind kind,
                 std::function<void(bool)> done) override {
        calls.push_back("addHost " + address + " " + code + " " + std::string(kindName(kind)));
        // The host answers a little later, as over the network.
        main_.asyncAfter(std::chrono::milliseconds(200), [this, address, kind, done = std::move(done)] {
            if (pairingSucceeds) {
                entries.push_back(entry("E" + std::to_string(entries.size() + 1), "host", address, kind));
                selectedId = entries.back().id;
            }
            done(pairingSucceeds);
        });
    }
    std::string errorMessage() const override { return pairingSucceeds ? "" : pairingError; }

    void connect() override {
        calls.push_back("connect");
        sessionState = stateOnConnect;
        if (selectedId) activeId = selectedId;
    }
    void disconnect() override {
        calls.push_back("disconnect");
        sessionState = State::disconnected;
        activeId.reset();
    }
    State state() const override { return sessionState; }
    client::StreamSize streamSize() const override { return stream; }
    int fps() const override { return 30; }
    void hideConnectScreen() override { calls.push_back("hideConnectScreen"); }
    std::optional<protocol::CursorPosition> cursor() const override { return hostCursor; }
    std::optional<std::string> inputNotice() const override { return notice; }
    void sendPointer(const std::string& action, double x, double y, std::optional<double> dx,
                     std::optional<double> dy) override {
        calls.push_back("pointer " + action + (dy ? " dy=" + std::to_string(static_cast<int>(*dy)) : "") +
                        (dx ? " dx=" + std::to_string(static_cast<int>(*dx)) : ""));
        if (action == "move" && hostCursor) hostCursor = cursorAfterMove(x, y);
        inject(action);
    }
    void sendKey(const std::string& name) override {
        calls.push_back("key " + name);
        inject(name);
    }
    void setLocalInputSuspended(bool suspended) override { inputSuspended = suspended; }

    std::optional<client::HostListStore::Entry> activeEntry() const override { return find(activeId); }
    std::optional<client::HostListStore::Entry> targetEntry() const override {
        const bool active = sessionState != State::disconnected && sessionState != State::takenOver &&
                            sessionState != State::authFailed && sessionState != State::revoked;
        return active ? activeEntry() : find(selectedId);
    }
    bool isSelfConnection() const override { return selfConnection; }
    double aspectScale() const override { return scale; }
    void setAspectFit(bool on) override {
        calls.push_back(std::string("setAspectFit ") + (on ? "true" : "false"));
        if (auto* found = stored(activeId)) found->displayAspectFit = on;
    }
    void setAspectScale(double value) override {
        calls.push_back("setAspectScale " + std::to_string(value));
        scale = value;
        if (auto* found = stored(activeId)) found->displayAspectScale = value;
    }

    std::optional<SurfaceReport> surface() const override { return surfaceReport; }
    std::optional<ScreenRect> windowFrame() const override { return frame; }
    void setWindowFrame(const ScreenRect& value) override {
        framesSet.push_back(value);
        frame = value;
    }
    std::optional<BarGeometry> barGeometry() const override {
        if (!frame) return std::nullopt;
        return BarGeometry{*frame, contentTop, mainDisplay};
    }
    void show(Side side) override { calls.push_back(side == Side::host ? "show host" : "show client"); }
    void bringToFront() override { calls.push_back("bringToFront"); }
    void terminate() override { calls.push_back("terminate"); }
    void startEventMonitor(std::function<void(const ObservedEvent&)> record) override {
        monitoring = true;
        record_ = std::move(record);
    }
    void stopEventMonitor() override {
        monitoring = false;
        record_ = nullptr;
    }

private:
    std::optional<client::HostListStore::Entry> find(const std::optional<std::string>& id) const {
        for (const auto& e : entries) {
            if (e.id == id) return e;
        }
        return std::nullopt;
    }
    client::HostListStore::Entry* stored(const std::optional<std::string>& id) {
        for (auto& e : entries) {
            if (e.id == id) return &e;
        }
        return nullptr;
    }
    // The monitor consumes what arrives while it is installed; the rest reaches nobody.
    void inject(const std::string& action) {
        for (const auto& event : echo(action)) {
            main_.async([this, event] {
                if (record_) record_(event);
            });
        }
    }

    base::Executor& main_;
    std::function<void(const ObservedEvent&)> record_;
};

}  // namespace orvanta::debug::testing
