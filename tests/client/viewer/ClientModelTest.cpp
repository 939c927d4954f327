// The client model's published state through a session's life, and the user's actions: connect,
// pair, remove, and the per-host display settings.
#include "client/viewer/ClientModel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "ClientModelSupport.h"
#include "client/directory/SelfConnectionGuard.h"
#include "protocol/CloseCodes.h"
#include "support/LoopbackHttpServer.h"

namespace orvanta::testing {
namespace {

using client::ClientModel;
using namespace std::chrono_literals;

template <class T>
struct Recorded {
    explicit Recorded(const client::Published<T>& field)
        : subscription(field.observe([this](const T& value) { values.push_back(value); })) {}
    std::vector<T> values;
    client::Subscription subscription;
};

TEST_F(ClientModelTest, RegistersItsDefaultsWithoutWritingThem) {
    EXPECT_EQ(settings->boolean(ClientModel::kSendClipboardKey), true);
    EXPECT_EQ(settings->boolean(ClientModel::kAudioEnabledKey), true);
    EXPECT_FALSE(settings->stored().contains(ClientModel::kSendClipboardKey));
    EXPECT_FALSE(settings->stored().contains(ClientModel::kAudioEnabledKey));
    EXPECT_TRUE(model->audioEnabled());
    settings->set(ClientModel::kAudioEnabledKey, "yes");
    EXPECT_TRUE(model->audioEnabled()) << "a value that is not a Bool reads as on";
}

TEST_F(ClientModelTest, FollowsTheAudioSettingChangedOnAnyThread) {
    addHost();
    connectAndWelcome({"S", "TICKET", protocol::AudioFormat::aacLC48kStereo()});
    EXPECT_EQ(fresh<protocol::AudioRequest>(), std::vector<protocol::AudioRequest>{{true}});
    EXPECT_TRUE(model->session().hostAudioAvailable());

    std::thread([&] { settings->set(ClientModel::kAudioEnabledKey, false); }).join();
    run();
    EXPECT_EQ(fresh<protocol::AudioRequest>(), std::vector<protocol::AudioRequest>{{false}});
    EXPECT_FALSE(model->session().hostAudioAvailable());
    settings->set(ClientModel::kAudioEnabledKey, false);
    settings->remove(ClientModel::kAudioEnabledKey);
    run();
    EXPECT_EQ(fresh<protocol::AudioRequest>(), std::vector<protocol::AudioRequest>{{true}}) << "absent reads as on";
}

TEST_F(ClientModelTest, PublishesTheSessionFieldByFieldThroughItsLife) {
    addHost();
    present();
    Recorded states(model->session().state);
    Recorded frames(model->receivedFrame());
    Recorded viewOnly(model->session().viewOnly);
    Recorded hostName(model->session().hostName);

    connectAndWelcome({"S", "TICKET", std::nullopt, "Studio"});
    EXPECT_EQ(model->session().hostEntryId(), model->hosts().selectedId());
    EXPECT_EQ(model->activeEntry()->id, model->hosts().selectedId());
    frame();
    frame();
    EXPECT_EQ(frames.values, std::vector<bool>{true});
    EXPECT_EQ(windowState->calls, (std::vector<std::string>{"end", "video"}))
        << "connecting ends immersion, the first frame offers it once";
    EXPECT_EQ(debug->frames, 2);

    hostSays(protocol::Notice{protocol::NoticeKind::locked});
    hostSays(protocol::Notice{protocol::NoticeKind::takenOver});
    EXPECT_EQ(states.values,
              (std::vector<State>{State::connecting, State::connected, State::locked, State::takenOver}));
    EXPECT_EQ(hostName.values, (std::vector<std::optional<std::string>>{"Studio", std::nullopt}));
    EXPECT_TRUE(viewOnly.values.empty()) << "a field that never changed is never announced";
    EXPECT_EQ(model->errorMessage()(), std::nullopt);

    model->connection().disconnect();
    run();
    EXPECT_EQ(states.values.back(), State::disconnected);
    EXPECT_EQ(model->errorMessage()(), std::nullopt) << "a disconnection without an error marks nothing";
    EXPECT_EQ(debug->lines.front(), "state: connecting");
    EXPECT_EQ(debug->lines.back(), "state: disconnected");
}

TEST_F(ClientModelTest, BusyHostsOfferTakeOverAndTheFirstFrameAfterItCounts) {
    addHost();
    present();
    model->connect();
    run();
    hostSays(protocol::Busy{});
    EXPECT_EQ(model->session().state(), State::busy);
    EXPECT_EQ(model->fps()(), 0);
    model->connection().takeOver();
    run();
    EXPECT_EQ(fresh<protocol::TakeOver>().size(), 1u);
    hostSays(protocol::Welcome{"S", "TICKET"});
    frame();
    EXPECT_EQ(model->session().state(), State::connected);
    EXPECT_TRUE(model->receivedFrame()());
}

TEST_F(ClientModelTest, MarksTheHostWhoseSessionFailed) {
    const struct {
        std::int64_t code;
        State state;
        const char* message;
        bool needsPairing;
    } cases[] = {
        {4003, State::authFailed, "接続できません", false},
        {4005, State::revoked, "ペアリングし直してください", true},
        {4006, State::disconnected, "接続できません", false},
    };
    const auto entry = addHost();
    for (const auto& c : cases) {
        connectAndWelcome();
        hostSays(protocol::ErrorMessage{c.code, "refused"});
        EXPECT_EQ(model->session().state(), c.state) << c.code;
        EXPECT_EQ(model->errorMessage()(), c.message) << c.code;
        EXPECT_EQ(model->needsPairing()(), c.needsPairing) << c.code;
        EXPECT_EQ(model->failedEntryID()(), entry.id) << c.code;
    }
}

TEST_F(ClientModelTest, ConnectExplainsWhyItCannotStart) {
    model->connect();
    EXPECT_EQ(model->errorMessage()(), "接続先を入力してください");

    const auto entry = addHost();
    secrets->failLoad = -25300;
    model->connect();
    EXPECT_EQ(model->errorMessage()(), "接続できません");
    EXPECT_EQ(model->failedEntryID()(), entry.id);
    EXPECT_FALSE(model->needsPairing()());

    secrets->failLoad.reset();
    secrets->items.clear();
    model->connect();
    EXPECT_EQ(model->errorMessage()(), "ペアリングし直してください");
    EXPECT_TRUE(model->needsPairing()());
    EXPECT_TRUE(sockets->channels.empty());
}

TEST_F(ClientModelTest, ConnectingToTheLiveHostOnlyHidesTheConnectScreen) {
    addHost();
    connectAndWelcome();
    model->setShowingConnectScreen(true);
    model->connect();
    run();
    EXPECT_FALSE(model->showingConnectScreen()());
    EXPECT_EQ(sockets->channels.size(), 2u);

    const auto other = addHost("https://other.example:8443", Kind::mac, "HOST-2");
    model->connect();
    run();
    EXPECT_EQ(model->session().hostEntryId(), other.id);
    EXPECT_EQ(sockets->channels.size(), 4u);
    EXPECT_EQ(model->session().state(), State::connecting);

    // While connecting nothing happens, not even clearing the error.
    model->addHost("ftp://nowhere", "CODE", Kind::mac, [](bool) {});
    model->hosts().select(model->hosts().entries().front().id);
    model->connect();
    run();
    EXPECT_EQ(model->session().hostEntryId(), other.id);
    EXPECT_EQ(model->errorMessage()(), "接続先を入力してください");
}

TEST_F(ClientModelTest, RemovingTheLiveHostEndsItsSession) {
    const auto live = addHost();
    connectAndWelcome();
    const auto failed = addHost("https://other.example:8443", Kind::mac, "HOST-2");
    std::erase_if(secrets->items, [&](const auto& item) { return item.first.second == failed.tokenAccount; });
    model->connect();
    ASSERT_EQ(model->failedEntryID()(), failed.id);

    EXPECT_TRUE(model->removeHost(failed.id));
    EXPECT_EQ(model->failedEntryID()(), std::nullopt);
    EXPECT_EQ(model->errorMessage()(), std::nullopt);
    EXPECT_EQ(model->session().state(), State::connected);

    EXPECT_TRUE(model->removeHost(live.id));
    run();
    EXPECT_EQ(model->session().state(), State::disconnected);
    EXPECT_FALSE(model->removeHost(live.id));
    EXPECT_TRUE(model->hostList().entries().empty());
}

TEST_F(ClientModelTest, ValidatedBaseURLTakesOnlyAddressesASessionCanReach) {
    const struct {
        std::string address;
        bool accepted;
    } cases[] = {
        {"  https://host.example:8443\n", true},
        {"HTTP://127.0.0.1:8767/", true},
        {"https://host.example/?a=1", false},
        {"https://host.example/#top", false},
        {"https://user@host.example", false},
        {"https://user:pw@host.example", false},
        {"ftp://host.example", false},
        {"host.example", false},
        {"https://", false},
        {"https://host.example/sub", false},
        {"https://host.example/v2/", false},
    };
    for (const auto& c : cases) {
        const auto url = ClientModel::validatedBaseURL(c.address);
        EXPECT_EQ(url.has_value(), c.accepted) << c.address;
        if (!url) {
            EXPECT_EQ(url.error(),
                      client::PairingClient::Failure::server("http または https の接続先を入力してください。", 0));
        }
    }
}

TEST_F(ClientModelTest, AddHostTellsAnUnreachableHostFromAWrongCode) {
    LoopbackHttpServer server([](const LoopbackHttpServer::Request& request) {
        if (request.body.find("\"code\":\"GOOD\"") != std::string::npos)
            return LoopbackHttpServer::Reply::http(200, R"({"deviceToken":"tok","hostId":"HOST-9"})");
        return LoopbackHttpServer::Reply::http(400, R"({"message":"invalid code"})");
    });
    const struct {
        std::string address;
        std::string code;
        bool added;
        std::optional<std::string> message;
        std::size_t requests;
    } cases[] = {
        {server.url() + "/sub", "GOOD", false, "接続先を入力してください", 0},
        {"gopher://" + server.url().substr(7), "GOOD", false, "接続先を入力してください", 0},
        {"http://127.0.0.1:1", "GOOD", false, "接続できません", 0},
        {server.url(), "BAD", false, "コードを確認してください", 1},
        {" " + server.url() + "/ ", "GOOD", true, std::nullopt, 2},
    };
    for (const auto& c : cases) {
        std::optional<bool> outcome;
        model->addHost(c.address, c.code, Kind::windows, [&](bool added) { outcome = added; });
        ASSERT_TRUE(executor.runUntil([&] { return outcome.has_value(); })) << c.address;
        EXPECT_EQ(*outcome, c.added) << c.address;
        EXPECT_EQ(model->errorMessage()(), c.message) << c.address;
        EXPECT_FALSE(model->pairing()()) << c.address;
        EXPECT_EQ(std::ranges::count(server.requests(), std::string("/v2/pair"), &LoopbackHttpServer::Request::target),
                  static_cast<long>(c.requests))
            << c.address;
    }
    ASSERT_EQ(model->hosts().entries().size(), 1u);
    const auto& saved = model->hosts().entries()[0];
    EXPECT_EQ(saved.baseURL, server.url() + "/");
    EXPECT_EQ(saved.hostId, "HOST-9");
    EXPECT_EQ(saved.kind, Kind::windows);
    EXPECT_EQ(model->hosts().selectedId(), saved.id);
    EXPECT_NE(std::ranges::find(debug->lines, "pairing failed: invalid code"), debug->lines.end());
}

TEST_F(ClientModelTest, ASecondPairingWaitsForTheFirst) {
    LoopbackHttpServer server([](const auto&) { return LoopbackHttpServer::Reply::silent(); });
    std::vector<bool> outcomes;
    model->addHost(server.url(), "CODE", Kind::mac, [&](bool added) { outcomes.push_back(added); });
    model->addHost(server.url(), "CODE", Kind::mac, [&](bool added) { outcomes.push_back(added); });
    run();
    EXPECT_EQ(outcomes, std::vector<bool>{false});
    EXPECT_TRUE(model->pairing()());
}

TEST_F(ClientModelTest, DeviceNameIsTheStoredNameElseTheComputers) {
    settings->set(ClientModel::kDeviceNameKey, " \u3000Taro's Linux\n");
    EXPECT_EQ(model->deviceName(), "Taro's Linux");
    settings->set(ClientModel::kDeviceNameKey, "  ");
    EXPECT_FALSE(model->deviceName().empty());
    EXPECT_NE(model->deviceName(), "  ");
}

TEST_F(ClientModelTest, DisplaySettingsFollowTheTargetHost) {
    EXPECT_FALSE(model->canEditDisplaySettings()) << "no host";
    const auto entry = addHost();
    model->hosts().setDisplayAspect(std::nullopt, 5.0, entry.id);
    EXPECT_EQ(model->aspectScale(), 2.0);
    model->setAspectScale(NAN);
    EXPECT_EQ(model->hosts().entries()[0].displayAspectScale, 1.0);
    model->setAspectFit(true);
    EXPECT_EQ(model->hosts().entries()[0].displayAspectFit, true);

    connectAndWelcome();
    fresh();
    model->setAspectScale(0.5);
    run();
    const auto requests = fresh<protocol::DisplayAspectFitRequest>();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].scale, 0.5);

    hostSays(protocol::Busy{});
    EXPECT_FALSE(model->canEditDisplaySettings()) << "busy";

    const auto ios = addHost("https://pad.example:8443", Kind::ios, "HOST-IOS");
    model->connection().disconnect();
    model->hosts().select(ios.id);
    EXPECT_FALSE(model->canEditDisplaySettings()) << "an iOS host";
    model->hosts().select(entry.id);
    EXPECT_TRUE(model->canEditDisplaySettings());
    client::LocalHostIdentity::publish("host-1");
    EXPECT_TRUE(model->isSelfConnection());
    EXPECT_FALSE(model->canEditDisplaySettings()) << "this machine's own host";
    client::LocalHostIdentity::publish("");
}

}  // namespace
}  // namespace orvanta::testing
