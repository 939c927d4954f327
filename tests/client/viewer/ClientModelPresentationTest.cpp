// The client model's session timers, viewport reporting and input routing, on virtual time.
#include <gtest/gtest.h>

#include "ClientModelSupport.h"

namespace orvanta::testing {
namespace {

using client::ClientModel;
using client::SurfaceKey;
using client::SurfacePointer;
using client::ViewportMetrics;
using Phase = protocol::KeyInput::Phase;
using namespace std::chrono_literals;

SurfaceKey press(std::uint32_t code, std::string text = {}, bool repeat = false) {
    return {SurfaceKey::Phase::press, code, std::move(text), repeat};
}
SurfaceKey release(std::uint32_t code, bool repeat = false) { return {SurfaceKey::Phase::release, code, {}, repeat}; }

constexpr std::uint32_t kX11A = 38, kX11C = 54, kX11W = 25, kX11ShiftL = 50, kX11ControlL = 37, kX11Return = 36;

class ClientModelSessionTest : public ClientModelTest {
protected:
    void SetUp() override {
        addHost();
        present();
        connectAndWelcome();
        fresh();
    }
    std::vector<std::string> clipboardSent() {
        std::vector<std::string> sent;
        for (const auto& message : fresh()) {
            if (const auto* text = message.as<protocol::ClipboardText>()) sent.push_back("text " + text->text);
            if (message.as<protocol::ClipboardImage>()) sent.push_back("image");
        }
        return sent;
    }
    void poll() { executor.advance(ClientModel::kClipboardPollInterval); }
    std::shared_ptr<FakeView> view(double width, double height, double scale = 1.5) {
        return std::make_shared<FakeView>(ViewportMetrics{{0, 0, width, height}, scale});
    }
};

TEST_F(ClientModelSessionTest, SendsWhatIsCopiedOncePerNewContent) {
    board->userCopies("hello");
    poll();
    board->userCopies("hello");
    poll();
    board->userCopies(std::nullopt, pngWithHeader(2, 2));
    poll();
    board->userCopies("hello");
    poll();
    EXPECT_EQ(clipboardSent(), (std::vector<std::string>{"text hello", "image", "text hello"}));

    // What clipboard sync wrote came from a peer and is not echoed.
    hub->attach("peer", {[](const auto&) {}, [] {}});
    hub->receive({{"type", "clipboard"}, {"origin", "other"}, {"seq", 1}, {"text", "from peer"}}, "peer");
    ASSERT_EQ(board->text, "from peer");
    poll();
    EXPECT_TRUE(clipboardSent().empty());

    settings->set(ClientModel::kSendClipboardKey, false);
    board->userCopies("private");
    poll();
    settings->set(ClientModel::kSendClipboardKey, true);
    poll();
    EXPECT_TRUE(clipboardSent().empty()) << "the change was taken while sending was off";

    model->connection().disconnect();
    model->connect();
    run();
    hostSays(protocol::Welcome{"S", "TICKET"});
    EXPECT_EQ(clipboardSent(), std::vector<std::string>{"text private"}) << "each new session gets the pasteboard once";
}

TEST_F(ClientModelSessionTest, CopiesWhileNotStreamingAreNoticedButNotSent) {
    hostSays(protocol::Notice{protocol::NoticeKind::locked});
    board->userCopies("while locked");
    poll();
    hostSays(protocol::Notice{protocol::NoticeKind::unlocked});
    poll();
    EXPECT_TRUE(clipboardSent().empty());
    board->userCopies("after");
    poll();
    EXPECT_EQ(clipboardSent(), std::vector<std::string>{"text after"});
}

TEST_F(ClientModelSessionTest, CountsFramesEachSecondUntilTheSessionStopsTakingInput) {
    for (int i = 0; i < 3; ++i) frame();
    executor.advance(ClientModel::kFpsInterval);
    EXPECT_EQ(model->fps()(), 3);
    frame();
    executor.advance(ClientModel::kFpsInterval);
    EXPECT_EQ(model->fps()(), 1);
    frame();
    hostSays(protocol::ErrorMessage{4004, "busy"});
    EXPECT_EQ(model->fps()(), 0);
    executor.advance(ClientModel::kFpsInterval * 3);
    EXPECT_EQ(model->fps()(), 0);
}

TEST_F(ClientModelTest, TellsTheHostTheLastViewportWhenNothingIsShown) {
    const struct {
        std::optional<double> scale;
        protocol::Viewport hello;
    } cases[] = {{1.5, {1920, 1098}}, {std::nullopt, {2560, 1464}}};
    for (const auto& c : cases) {
        screenScale = c.scale;
        addHost();
        model->connect();
        run();
        EXPECT_EQ(fresh<protocol::Hello>().at(0).viewport, c.hello);
        model->connection().disconnect();
    }
}

TEST_F(ClientModelSessionTest, MeasuresTheSurfaceElseTheWindowElseADefault) {
    EXPECT_EQ(model->currentViewport(), (ViewportMetrics{{0, 0, 1280, 684}, 1.5}));
    auto window = view(1000, 800, 1);
    model->setWindow(window);
    EXPECT_EQ(model->currentViewport(), (ViewportMetrics{{0, 0, 1000, 764}, 1}));
    window->value->bounds.height = 120;
    EXPECT_EQ(model->currentViewport(), (ViewportMetrics{{0, 0, 1000, 100}, 1}));
    auto surface = view(900, 600, 2);
    model->surfaceGeometryChanged(surface, false);
    EXPECT_EQ(model->currentViewport(), (ViewportMetrics{{0, 0, 900, 600}, 2}));

    model->clientSideWillHide();
    model->setPresented(false);
    surface->value->bounds.width = 10;
    EXPECT_EQ(model->currentViewport(), (ViewportMetrics{{0, 0, 900, 600}, 2})) << "the size last shown";
    executor.advance(1s);
    EXPECT_TRUE(fresh<protocol::ViewportUpdate>().empty()) << "hiding cancels the pending update";
}

TEST_F(ClientModelSessionTest, SendsTheViewportOnceItSettles) {
    auto surface = view(1000, 500);
    model->surfaceGeometryChanged(surface, false);
    executor.advance(100ms);
    surface->value->bounds = {0, 0, 800, 400};
    model->surfaceGeometryChanged(surface, false);
    executor.advance(299ms);
    EXPECT_TRUE(fresh<protocol::ViewportUpdate>().empty());
    executor.advance(1ms);
    EXPECT_EQ(fresh<protocol::ViewportUpdate>(), (std::vector<protocol::ViewportUpdate>{{1200, 600}}));
    EXPECT_EQ(debug->lines.back(), "viewport: settled 800x400pt x1.5 -> 1200x600px");

    // A forced request inside the window forces the update finally sent, unchanged as it is.
    model->surfaceGeometryChanged(surface, true);
    model->surfaceGeometryChanged(surface, false);
    executor.advance(ClientModel::kViewportDebounce);
    EXPECT_EQ(fresh<protocol::ViewportUpdate>().size(), 1u);
    model->surfaceGeometryChanged(surface, false);
    executor.advance(ClientModel::kViewportDebounce);
    EXPECT_TRUE(fresh<protocol::ViewportUpdate>().empty());
}

TEST_F(ClientModelSessionTest, IgnoresGeometryThatCannotBeShownAndKeepsThePendingUpdate) {
    auto shown = view(640, 480, 1);
    model->surfaceGeometryChanged(shown, false);
    model->surfaceGeometryChanged(std::make_shared<FakeView>(std::nullopt), false);
    model->surfaceGeometryChanged(view(0, 480), false);
    executor.advance(ClientModel::kViewportDebounce);
    EXPECT_EQ(fresh<protocol::ViewportUpdate>(), (std::vector<protocol::ViewportUpdate>{{640, 480}}));

    model->setShowingConnectScreen(true);
    model->surfaceGeometryChanged(view(300, 300), false);
    model->setShowingConnectScreen(false);
    hostSays(protocol::ErrorMessage{4004, "busy"});
    model->surfaceGeometryChanged(view(400, 400), false);
    executor.advance(1s);
    EXPECT_TRUE(fresh<protocol::ViewportUpdate>().empty());
}

TEST_F(ClientModelSessionTest, ReturningToTheSessionAsksForAKeyFrame) {
    model->setShowingConnectScreen(true);
    run();
    EXPECT_EQ(windowState->calls.back(), "end");
    EXPECT_EQ(fresh<protocol::PointerInput>().at(0).action, "cancel") << "hiding releases input";
    model->setShowingConnectScreen(false);
    run();
    EXPECT_EQ(fresh<protocol::RequestKeyframe>().size(), 1u);
    EXPECT_EQ(debug->lines.back(), "side: client again, keyframe requested (state connected)");

    model->connection().disconnect();
    model->connect();
    run();
    hostSays(protocol::Busy{});
    model->clientSideWillHide();
    model->setPresented(false);
    present();
    EXPECT_TRUE(fresh<protocol::RequestKeyframe>().empty()) << "busy takes no input";
}

TEST_F(ClientModelSessionTest, RoutesPointerAndMappedKeys) {
    model->handle(SurfacePointer{"move", client::NormalizedPoint{0.25, 0.75}, std::nullopt, std::nullopt});
    model->handle(SurfacePointer{"scroll", std::nullopt, 3, -16});
    run();
    const auto pointers = fresh<protocol::PointerInput>();
    ASSERT_EQ(pointers.size(), 2u);
    EXPECT_EQ(pointers[0].action, "move");
    EXPECT_EQ(pointers[0].x, 0.25);
    EXPECT_EQ(pointers[0].y, 0.75);
    EXPECT_EQ(pointers[1].x, std::nullopt);
    EXPECT_EQ(pointers[1].dy, -16);

    for (const auto& key :
         {press(kX11ShiftL), press(kX11A, "A"), release(kX11A), release(kX11ShiftL), press(kX11ControlL),
          press(kX11C, "\x03"), release(kX11C), release(kX11ControlL), press(kX11Return, "\r")}) {
        model->handle(key);
    }
    run();
    std::vector<std::string> sent;
    for (const auto& message : fresh()) {
        if (const auto* text = message.as<protocol::TextInput>()) sent.push_back("text " + text->value);
        if (const auto* key = message.as<protocol::KeyInput>()) {
            sent.push_back("key " + key->name + (key->control ? " control" : "") + (key->phase ? " phased" : ""));
        }
    }
    EXPECT_EQ(sent, (std::vector<std::string>{"text A", "key c control", "key return"}));
}

TEST_F(ClientModelSessionTest, GameKeysGoDownAndUpAndAreReleasedWithInput) {
    model->setGameKeyboard(true);
    run();
    EXPECT_EQ(fresh<protocol::PointerInput>().at(0).action, "cancel") << "switching releases input";
    for (const auto& key : {press(kX11ShiftL), press(kX11W, "W"), release(kX11W, true), press(kX11W, "W", true),
                            release(kX11W), press(kX11A, "A")}) {
        model->handle(key);
    }
    model->clientSideWillHide();
    run();
    std::vector<std::string> sent;
    for (const auto& key : fresh<protocol::KeyInput>()) {
        sent.push_back(key.name + (key.phase == Phase::down ? " down" : " up") + (key.shift ? " shift" : ""));
    }
    EXPECT_EQ(sent, (std::vector<std::string>{"shift down shift", "w down shift", "w up shift", "a down shift",
                                              "shift up", "a up"}));
    EXPECT_TRUE(model->gameKeys().order().empty());

    // The host let go of Shift: keys typed after coming back carry no stale flag.
    present();
    model->handle(press(kX11A, "a"));
    model->handle(release(kX11ShiftL));
    run();
    const auto keys = fresh<protocol::KeyInput>();
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].name, "a");
    EXPECT_FALSE(keys[0].shift);
    EXPECT_EQ(keys[0].phase, Phase::down);
}

TEST_F(ClientModelSessionTest, DropsKeysWhenTheSessionCannotTakeThem) {
    model->setGameKeyboard(true);
    hostSays(protocol::Notice{protocol::NoticeKind::locked});
    fresh();
    model->handle(press(kX11W, "w"));
    run();
    EXPECT_TRUE(fresh<protocol::KeyInput>().empty()) << "game keys while locked";
    model->setGameKeyboard(false);
    hostSays(protocol::Notice{protocol::NoticeKind::unlocked});
    model->setLocalInputSuspended(true);
    model->handle(press(kX11A, "a"));
    model->setLocalInputSuspended(false);
    model->setPresented(false);
    model->handle(press(kX11A, "a"));
    model->setPresented(true);
    hostSays(protocol::Busy{});
    model->handle(press(kX11A, "a"));
    run();
    EXPECT_TRUE(fresh<protocol::TextInput>().empty());
}

}  // namespace
}  // namespace orvanta::testing
