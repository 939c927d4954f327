// A connection manager on virtual time over the in-memory WebSocket client, with stand-ins for the
// stream assembler and the audio side, and helpers that play the host's part.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "client/session/ConnectionManager.h"
#include "client/session/StreamAssembler.h"
#include "support/FakeWebSocketClient.h"
#include "support/ManualExecutor.h"
#include "support/MemorySecretStore.h"
#include "support/MemorySettings.h"

namespace orvanta::testing {

class StandInAssembler final : public client::MediaAssembler {
public:
    std::vector<base::Bytes> received;
    int flushes = 0;
    bool awaitingKeyframe = false;
    std::optional<std::uint16_t> generation;

    void receive(base::Bytes message) override { received.push_back(std::move(message)); }
    void flush() override { ++flushes; }
    bool notifyRendererFailed() override { return !std::exchange(awaitingKeyframe, true); }
    std::optional<std::uint16_t> currentGeneration() const override { return generation; }

    // A sample with the header's timestamp `pts`.
    void frame(protocol::Ack ack, std::uint64_t pts = 0) {
        auto sample = std::make_shared<client::VideoSample>();
        sample->hostPtsMicros = pts;
        sample->gen = ack.gen;
        sample->seq = ack.seq;
        if (onFrame) onFrame(sample, ack);
    }
    void config(std::uint16_t gen, int width, int height) {
        generation = gen;
        if (onConfig) onConfig(width, height);
    }
};

class StandInAudio final : public client::SessionAudio {
public:
    std::vector<std::optional<protocol::AudioFormat>> offers;
    std::vector<base::Bytes> packets;
    std::vector<std::uint64_t> videoPts;
    int ends = 0;
    Send send;

    void startIfOffered(const std::optional<protocol::AudioFormat>& offer, Send sender) override {
        offers.push_back(offer);
        send = std::move(sender);
    }
    void receive(base::Bytes packet) override { packets.push_back(std::move(packet)); }
    void noteVideoDelivered(std::uint64_t ptsMicros) override { videoPts.push_back(ptsMicros); }
    int effectiveVideoDelayMillis() const override { return delayMillis; }
    int delayMillis = 0;
    void end() override { ++ends; }
};

class SessionTest : public ::testing::Test {
protected:
    using State = client::ConnectionManager::State;

    SessionTest() {
        auto vault = std::make_shared<client::KeychainTokenVault>(client::CredentialStore(secrets), "test.tokens");
        hostStore = std::make_shared<client::HostListStore>(settings, vault, false);
        manager = client::ConnectionManager::create(executor, executor.clock(), sockets, settings);
        manager->hostStore = hostStore;
        manager->audio = audio;
        manager->makeAssembler = [this] {
            auto assembler = std::make_shared<StandInAssembler>();
            assemblers.push_back(assembler);
            return assembler;
        };
        manager->takeHeldKeyNames = [this] { return std::exchange(heldKeys, {}); };
        manager->onSessionEstablished = [this] { ++established; };
        manager->observeState([this](State state) { states.push_back(state); });
    }

    client::HostListStore::Entry entry(client::HostListStore::Kind kind = client::HostListStore::Kind::mac,
                                       std::string baseURL = "https://host.example:8443") {
        auto added = hostStore->addOrUpdate(baseURL, "token", "HOST-" + baseURL, kind);
        EXPECT_TRUE(added);
        return *added;
    }

    void connect(std::string baseURL = "https://host.example:8443") {
        manager->connect(entry(client::HostListStore::Kind::mac, std::move(baseURL)), "token", "device", false);
        run();
    }

    void run() { executor.runUntilIdle(); }

    // The control and media channels of the latest attempt.
    std::shared_ptr<FakeWebSocketChannel> control() const { return latest("/v2/control"); }
    std::shared_ptr<FakeWebSocketChannel> video() const { return latest("/v2/video"); }
    std::shared_ptr<FakeWebSocketChannel> latest(std::string_view path) const {
        for (auto it = sockets->channels.rbegin(); it != sockets->channels.rend(); ++it) {
            if ((*it)->url.ends_with(path)) return *it;
        }
        return nullptr;
    }
    std::size_t attempts() const { return sockets->channels.size() / 2; }

    void hostSays(const protocol::ControlMessage& message) {
        control()->deliverText(*message.jsonString());
        run();
    }
    void welcome(protocol::Welcome w = {"S", "TICKET"}) { hostSays(w); }
    void connectAndWelcome() {
        connect();
        welcome();
    }

    // The messages the host received on a channel, decoded.
    static std::vector<protocol::ControlMessage> received(const std::shared_ptr<FakeWebSocketChannel>& channel) {
        std::vector<protocol::ControlMessage> messages;
        for (const auto& text : channel->sentTexts()) messages.push_back(*protocol::ControlMessage::decode(text));
        return messages;
    }
    static std::vector<std::string> types(const std::shared_ptr<FakeWebSocketChannel>& channel) {
        std::vector<std::string> names;
        for (const auto& message : received(channel)) names.emplace_back(message.typeName());
        return names;
    }
    protocol::DeviceCaps helloCaps() const {
        auto messages = received(control());
        EXPECT_FALSE(messages.empty());
        auto* hello = messages.empty() ? nullptr : messages[0].as<protocol::Hello>();
        EXPECT_TRUE(hello);
        return hello ? hello->caps : protocol::DeviceCaps{};
    }

    // What the host received on the control channel since the last call.
    std::vector<protocol::ControlMessage> fresh() {
        auto all = received(control());
        if (control() != seenChannel_) {
            seenChannel_ = control();
            seenCount_ = 0;
        }
        std::vector<protocol::ControlMessage> result(all.begin() + static_cast<std::ptrdiff_t>(seenCount_), all.end());
        seenCount_ = all.size();
        return result;
    }

    ManualExecutor executor;
    std::shared_ptr<FakeWebSocketClient> sockets = std::make_shared<FakeWebSocketClient>();
    std::shared_ptr<MemorySettings> settings = std::make_shared<MemorySettings>();
    std::shared_ptr<MemorySecretStore> secrets = std::make_shared<MemorySecretStore>();
    std::shared_ptr<client::HostListStore> hostStore;
    std::shared_ptr<StandInAudio> audio = std::make_shared<StandInAudio>();
    std::vector<std::shared_ptr<StandInAssembler>> assemblers;
    std::vector<std::string> heldKeys;
    std::vector<State> states;
    int established = 0;
    std::shared_ptr<client::ConnectionManager> manager;

private:
    std::shared_ptr<FakeWebSocketChannel> seenChannel_;
    std::size_t seenCount_ = 0;
};

}  // namespace orvanta::testing
