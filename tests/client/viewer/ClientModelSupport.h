// The client model over its real session on virtual time: the in-memory WebSocket client plays the
// host, a stand-in assembler delivers frames, and the pasteboard, settings and secrets are in memory.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "client/session/SessionTestSupport.h"
#include "client/viewer/ClientModel.h"
#include "clipboard/ClipboardSync.h"
#include "platform/beast/BeastHttpClient.h"
#include "support/FakeAudioOutput.h"
#include "support/FakePasteboard.h"

namespace orvanta::testing {

// A video surface or window of a given size; none means it is in no window.
class FakeView final : public client::MeasuredView {
public:
    explicit FakeView(std::optional<client::ViewportMetrics> initial) : value(initial) {}
    std::optional<client::ViewportMetrics> metrics() const override { return value; }
    std::optional<client::ViewportMetrics> value;
};

class RecordingWindowState final : public client::WindowStateHandoff {
public:
    void videoBecameAvailable(bool autoEnter) override { calls.push_back(autoEnter ? "video+enter" : "video"); }
    void endImmersiveSession() override { calls.push_back("end"); }
    std::vector<std::string> calls;
};

class RecordingDebug final : public client::DebugHandoff {
public:
    bool isActive() const override { return true; }
    void log(const std::string& line) override { lines.push_back(line); }
    void frameShown() override { ++frames; }
    std::vector<std::string> lines;
    int frames = 0;
};

class ClientModelTest : public ::testing::Test {
protected:
    using State = client::ConnectionManager::State;
    using Kind = client::HostListStore::Kind;

    ClientModelTest() {
        settings->set(clipboard::ClipboardSync::kEnabledKey, true);
        hub = std::make_unique<clipboard::ClipboardSync>(executor, *settings, *board, codec, [] { return "me"; });
        model = client::ClientModel::create({
            .main = executor,
            .clock = executor.clock(),
            .defaults = settings,
            .standaloneSuite = nullptr,
            .secrets = secrets,
            .sockets = sockets,
            .http = http,
            .pasteboard = board,
            .hub = *hub,
            .audioQueue = executor,
            .audioOutput = FakeAudioOutput::factory(std::make_shared<FakeAudioOutputState>()),
            .mainScreenScale = [this] { return screenScale; },
            .machineInfo = "/nonexistent/machine-info",
        });
        model->connection().makeAssembler = [this] {
            auto assembler = std::make_shared<StandInAssembler>();
            assemblers.push_back(assembler);
            return assembler;
        };
        model->setWindowState(windowState);
        model->setDebug(debug);
        run();
    }
    ~ClientModelTest() override {
        model.reset();
        executor.runUntilIdle();
    }

    void run() { executor.runUntilIdle(); }

    client::HostListStore::Entry addHost(std::string baseURL = "https://host.example:8443", Kind kind = Kind::mac,
                                         std::string hostId = "HOST-1") {
        auto added = model->hosts().addOrUpdate(baseURL, "token", hostId, kind);
        EXPECT_TRUE(added);
        return *added;
    }

    // Shows the client side's session area, as the window state does.
    void present() {
        model->setPresented(true);
        model->clientSideDidShow();
        run();
    }

    std::shared_ptr<FakeWebSocketChannel> control() const {
        for (auto it = sockets->channels.rbegin(); it != sockets->channels.rend(); ++it) {
            if ((*it)->url.ends_with("/v2/control")) return *it;
        }
        return nullptr;
    }
    void hostSays(const protocol::ControlMessage& message) {
        control()->deliverText(*message.jsonString());
        run();
    }
    void connectAndWelcome(protocol::Welcome welcome = {"S", "TICKET"}) {
        model->connect();
        run();
        hostSays(welcome);
    }
    void frame() {
        assemblers.back()->frame({});
        run();
    }
    // What the host received on the control channel since the last call.
    std::vector<protocol::ControlMessage> fresh() {
        std::vector<protocol::ControlMessage> messages;
        auto channel = control();
        if (!channel) return messages;
        auto texts = channel->sentTexts();
        if (channel != seenChannel_) {
            seenChannel_ = channel;
            seen_ = 0;
        }
        for (std::size_t i = seen_; i < texts.size(); ++i)
            messages.push_back(*protocol::ControlMessage::decode(texts[i]));
        seen_ = texts.size();
        return messages;
    }
    template <class T>
    std::vector<T> fresh() {
        std::vector<T> found;
        for (const auto& message : fresh()) {
            if (const auto* typed = message.as<T>()) found.push_back(*typed);
        }
        return found;
    }

    ManualExecutor executor;
    std::shared_ptr<MemorySettings> settings = std::make_shared<MemorySettings>();
    std::shared_ptr<MemorySecretStore> secrets = std::make_shared<MemorySecretStore>();
    std::shared_ptr<FakeWebSocketClient> sockets = std::make_shared<FakeWebSocketClient>();
    std::shared_ptr<platform::BeastHttpClient> http = std::make_shared<platform::BeastHttpClient>();
    std::shared_ptr<FakePasteboard> board = std::make_shared<FakePasteboard>();
    FakeImageCodec codec;
    std::unique_ptr<clipboard::ClipboardSync> hub;
    std::optional<double> screenScale = 1.5;
    std::shared_ptr<RecordingWindowState> windowState = std::make_shared<RecordingWindowState>();
    std::shared_ptr<RecordingDebug> debug = std::make_shared<RecordingDebug>();
    std::vector<std::shared_ptr<StandInAssembler>> assemblers;
    std::shared_ptr<client::ClientModel> model;

private:
    std::shared_ptr<FakeWebSocketChannel> seenChannel_;
    std::size_t seen_ = 0;
};

}  // namespace orvanta::testing
