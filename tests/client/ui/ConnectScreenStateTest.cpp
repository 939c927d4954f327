// The connect screen's state over the real client model on virtual time: pair-link detection, the
// form's opening and the order of steps after a pairing, removal with its result and focus, the
// layout switch and browsing while visible.
#include "client/ui/ConnectScreenState.h"

#include <gtest/gtest.h>

#include "client/viewer/ClientModelSupport.h"
#include "support/FakeServiceBrowser.h"
#include "support/LoopbackHttpServer.h"

namespace orvanta::testing {
namespace {

using client::ConnectScreenState;
using Field = ConnectScreenState::Field;
using Target = Field::Target;

class RecordingAnnouncer final : public client::Announcer {
public:
    void announce(const std::string& text) override { spoken.push_back(text); }
    std::vector<std::string> spoken;
};

class ConnectScreenStateTest : public ClientModelTest {
protected:
    ConnectScreenStateTest() {
        screen = ConnectScreenState::create(executor, model, settings, browsers.factory(), announcer);
        screen->onFocus = [this](const Field& field) { focused.push_back(field); };
        screen->setVisible(true);
        run();
    }

    static Field field(Target target) { return ConnectScreenState::field(target); }

    // Pairs through the form with a host that accepts every code.
    bool pairWith(const std::string& address, const std::string& code = "GOOD") {
        screen->setAddressText(address);
        screen->setCode(code);
        screen->pair();
        return executor.runUntil([&] { return !model->pairing()(); });
    }

    LoopbackHttpServer pairingHost{[](const LoopbackHttpServer::Request&) {
        return LoopbackHttpServer::Reply::http(200, R"({"deviceToken":"tok","hostId":"HOST-9"})");
    }};
    FakeServiceBrowsers browsers;
    std::shared_ptr<RecordingAnnouncer> announcer = std::make_shared<RecordingAnnouncer>();
    std::shared_ptr<ConnectScreenState> screen;
    std::vector<Field> focused;
};

TEST_F(ConnectScreenStateTest, APastedPairLinkBecomesTheAddressAndTheCode) {
    screen->beginAdding(std::nullopt, client::HostListStore::Kind::windows);
    EXPECT_EQ(screen->address(), "https://");
    screen->setAddressText("orvanta://pair?u=https%3A%2F%2Fmac.tail1.ts.net%3A8443&c=ABCD-EFGH-JK");
    EXPECT_EQ(screen->address(), "https://mac.tail1.ts.net:8443");
    EXPECT_EQ(screen->code(), "ABCD-EFGH-JK");
    EXPECT_EQ(settings->string(ConnectScreenState::kLastAddressKey), "https://mac.tail1.ts.net:8443")
        << "typed into a form opened with 追加, the address is kept across launches";

    const std::string notLinks[] = {
        "orvanta://other?u=https%3A%2F%2Fa&c=X",
        "orvanta://pair/x?u=https%3A%2F%2Fa&c=X",
        "orvanta://pair?u=http%3A%2F%2Fa&c=X",
        "orvanta://pair?u=https%3A%2F%2Fa&c=",
        "orvanta://pair?u=https%3A%2F%2Fa",
        "orvanta://pair?u=https%3A%2F%2Fa&u=https%3A%2F%2Fb&c=X",
        "https://a.example",
    };
    for (const auto& text : notLinks) {
        screen->setAddressText(text);
        EXPECT_EQ(screen->address(), text);
        EXPECT_EQ(screen->code(), "ABCD-EFGH-JK") << "the code is left alone: " << text;
    }
}

TEST_F(ConnectScreenStateTest, OpensTheFormForAnAddressOrAProposal) {
    model->addHost("ftp://nowhere", "CODE", client::HostListStore::Kind::mac, [](bool) {});
    run();
    ASSERT_TRUE(model->errorMessage()());

    screen->beginAdding(std::nullopt, client::HostListStore::Kind::mac);
    run();
    EXPECT_TRUE(screen->adding());
    EXPECT_EQ(model->errorMessage()(), std::nullopt);
    EXPECT_EQ(focused.back(), field(Target::address));

    screen->setCode("OLD");
    screen->beginAdding("http://nearby.local:8767", client::HostListStore::Kind::mac);
    run();
    EXPECT_EQ(screen->address(), "http://nearby.local:8767");
    EXPECT_EQ(screen->code(), "");
    EXPECT_EQ(focused.back(), field(Target::code));
    screen->setAddressText("http://edited.local:8767");
    EXPECT_EQ(settings->string(ConnectScreenState::kLastAddressKey), std::nullopt) << "a proposal is not stored";

    screen->setCode("KEPT");
    screen->cancelAdding();
    EXPECT_FALSE(screen->adding());
    EXPECT_EQ(screen->draftAddress(), std::nullopt);
    EXPECT_EQ(screen->address(), "https://");
    EXPECT_EQ(screen->code(), "KEPT") << "the code waits for the next opening";
    EXPECT_EQ(focused.back(), field(Target::add)) << "at once";
}

TEST_F(ConnectScreenStateTest, AfterPairingTheFormClosesAndFocusGoesToConnect) {
    screen->beginAdding(pairingHost.url(), client::HostListStore::Kind::mac);
    ASSERT_TRUE(pairWith(pairingHost.url() + "/"));
    EXPECT_EQ(settings->string(ConnectScreenState::kLastAddressKey), pairingHost.url() + "/")
        << "a proposal that was paired becomes the address to remember";
    EXPECT_EQ(screen->draftAddress(), std::nullopt);
    EXPECT_EQ(screen->code(), "");
    EXPECT_FALSE(screen->adding());
    EXPECT_EQ(screen->rememberedFocus(), field(Target::connect));
    run();
    EXPECT_EQ(focused.back(), field(Target::connect));
    ASSERT_EQ(model->hosts().entries().size(), 1u);
    EXPECT_EQ(model->hosts().selectedId(), model->hosts().entries()[0].id);
}

TEST_F(ConnectScreenStateTest, AFailedPairingKeepsTheFormAndItsInput) {
    screen->beginAdding(std::nullopt, client::HostListStore::Kind::mac);
    ASSERT_TRUE(pairWith("http://127.0.0.1:1"));
    EXPECT_TRUE(screen->adding());
    EXPECT_EQ(screen->code(), "GOOD");
    EXPECT_EQ(model->errorMessage()(), "接続できません");

    screen->setCode(" \n ");
    EXPECT_FALSE(screen->canPair());
    screen->pair();
    run();
    EXPECT_TRUE(pairingHost.requests().empty()) << "an empty code never reaches the model";
    EXPECT_FALSE(model->pairing()());
}

TEST_F(ConnectScreenStateTest, RemovalReportsItsResultAndMovesTheFocus) {
    const auto first = addHost("https://one.example:8443", client::HostListStore::Kind::mac, "H1");
    const auto second = addHost("https://two.example:8443", client::HostListStore::Kind::mac, "H2");

    screen->askToRemove(first);
    EXPECT_EQ(screen->pendingDelete(), first);
    screen->removalAnswered(false);
    EXPECT_EQ(screen->pendingDelete(), std::nullopt);
    EXPECT_EQ(model->hosts().entries().size(), 2u) << "cancelled";

    screen->askToRemove(first);
    screen->removalAnswered(true);
    run();
    EXPECT_EQ(screen->removalResult(), (ConnectScreenState::RemovalResult{"接続先を削除しました", true}));
    EXPECT_EQ(focused.back(), field(Target::connect));

    screen->remove(first);
    run();
    EXPECT_EQ(screen->removalResult(), (ConnectScreenState::RemovalResult{"接続先を削除できませんでした", false}));
    EXPECT_EQ(focused.back(), ConnectScreenState::deleteButton(first.id));

    screen->beginAdding(std::nullopt, client::HostListStore::Kind::mac);
    screen->remove(second);
    run();
    EXPECT_EQ(focused.back(), field(Target::address)) << "the open form takes the focus";
    screen->cancelAdding();
    EXPECT_EQ(announcer->spoken, (std::vector<std::string>{"接続先を削除しました", "接続先を削除できませんでした",
                                                           "接続先を削除しました"}));

    const auto third = addHost("https://three.example:8443", client::HostListStore::Kind::mac, "H3");
    screen->remove(third);
    run();
    EXPECT_EQ(focused.back(), field(Target::add)) << "the last host is gone";
}

TEST_F(ConnectScreenStateTest, KeepsTheConnectFocusAcrossTheColumnSwitch) {
    screen->widthChanged(800);
    EXPECT_TRUE(screen->wide());
    screen->focusChanged(field(Target::connect));
    focused.clear();
    screen->widthChanged(719);
    EXPECT_FALSE(screen->wide());
    run();
    EXPECT_EQ(focused, std::vector<Field>{field(Target::connect)});

    screen->focusChanged(field(Target::add));
    focused.clear();
    screen->widthChanged(720);
    run();
    EXPECT_TRUE(focused.empty()) << "other focus is left to the toolkit";
}

TEST_F(ConnectScreenStateTest, BrowsesWhileVisibleAndRestoresTheFocusItHad) {
    ASSERT_EQ(browsers.records.size(), 1u);
    EXPECT_TRUE(browsers.latest().started);
    screen->focusChanged(field(Target::code));

    screen->setVisible(false);
    EXPECT_TRUE(browsers.latest().cancelled);
    screen->focusChanged(std::nullopt);
    screen->requestFocus(field(Target::add));
    focused.clear();
    run();
    EXPECT_TRUE(focused.empty()) << "a request that finds the screen hidden is dropped";

    screen->setVisible(true);
    ASSERT_EQ(browsers.records.size(), 2u) << "a new browse with an empty list";
    run();
    EXPECT_EQ(focused, std::vector<Field>{field(Target::code)});
}

}  // namespace
}  // namespace orvanta::testing
