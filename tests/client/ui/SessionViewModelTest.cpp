// The session view bound to the real client model and its session on virtual time, the host played
// by the in-memory WebSocket client: the host's video on the media channel is decoded and shown,
// input made by XTest leaves as the host's messages, and the buttons act on the session.
#include <gtest/gtest.h>

#include <QTest>

#include "TestPictures.h"
#include "XTestDriver.h"
#include "client/session/StreamAssembler.h"
#include "client/ui/SessionView.h"
#include "client/viewer/ClientModelSupport.h"
#include "protocol/StreamConfig.h"
#include "support/HostVideoStream.h"
#include "support/QtWidgetsApp.h"
#include "support/XvfbFixture.h"

namespace orvanta::testing {
namespace {

using B = client::OverlayButton;
constexpr int kWidth = 320, kHeight = 180;

class BoundSessionViewTest : public ClientModelTest {
protected:
    void SetUp() override {
        ORVANTA_REQUIRE_XVFB(XvfbOptions{.windowManager = true});
        displayName = display;
        qtWidgetsApp();
        model->connection().makeAssembler = [this] {
            return std::make_shared<client::StreamAssembler>(executor, executor.clock());
        };
        view = std::make_unique<client::SessionView>(executor, executor.clock());
        view->bind(model, settings);
        view->surface().onPainted = [this](std::uint64_t) { ++painted; };
        view->resize(kWidth, kHeight + 36);
        view->show();
        view->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
        addHost();
        present();
        connectAndWelcome();
    }
    void TearDown() override { view.reset(); }

    std::shared_ptr<FakeWebSocketChannel> video() const {
        for (auto it = sockets->channels.rbegin(); it != sockets->channels.rend(); ++it)
            if ((*it)->url.ends_with("/v2/video")) return *it;
        return nullptr;
    }
    void sendConfig(const HostVideoStream& stream) {
        const protocol::StreamConfig config{1, "h264", kWidth, kHeight, 60, stream.format->sps, stream.format->pps};
        video()->deliver(platform::WebSocketBinary{config.packet(0, 0)->encoded()});
        run();
    }
    // One access unit on the media channel, as the host frames it; waits for its picture when asked.
    void sendFrame(const client::VideoSample& sample, std::uint32_t seq, bool expectPicture = true) {
        const auto flags = sample.keyframe ? protocol::PacketFlags::keyframe : protocol::PacketFlags{};
        const int before = painted;
        video()->deliver(platform::WebSocketBinary{
            protocol::VideoPacket::make(protocol::PacketType::video, flags, 1, seq, seq * 16'667, sample.avcc)
                ->encoded()});
        run();
        if (expectPicture) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return painted > before; }, 5000)) << "frame " << seq;
        }
    }
    // Lets Qt take what the X server queued, then the model's queue send what it made of it.
    void settle() {
        QTest::qWait(50);
        run();
    }

    std::string displayName;
    std::unique_ptr<client::SessionView> view;
    int painted = 0;
};

TEST_F(BoundSessionViewTest, TheHostsVideoIsShownAndEachFrameAcknowledgedOnceShown) {
    const auto pictures = std::vector{testPicture(kWidth, kHeight, 0), testPicture(kWidth, kHeight, 1)};
    const auto stream = encodeAsHost(pictures, kWidth, kHeight);
    sendConfig(stream);
    fresh();
    ASSERT_NO_FATAL_FAILURE(sendFrame(*stream.samples[0], 1));
    ASSERT_NO_FATAL_FAILURE(sendFrame(*stream.samples[1], 2));
    const auto acks = fresh<protocol::Ack>();
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(acks[1].seq, 2u);
    EXPECT_EQ(model->session().state(), client::ConnectionManager::State::connected);
    EXPECT_EQ(view->barToolTip().toStdString(), "接続中 · " + model->activeEntry()->displayName + " · 320×180 · 0 fps");
    const QImage shown = view->surface().grab().toImage();
    view->grab().save(artifactPath("session-view-bound-connected.png"));
    EXPECT_GT(psnr(shown, pictures[1], kWidth, kHeight), 40.0);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return psnr(shownOnScreen(view->surface()), pictures[1], kWidth, kHeight) > 40.0; }, 5000))
        << "the window shows the picture below the bar";
}

TEST_F(BoundSessionViewTest, ACorruptFrameIsNotAcknowledgedAndAsksOnceForAKeyframe) {
    const auto pictures =
        std::vector{testPicture(kWidth, kHeight, 0), testPicture(kWidth, kHeight, 1), testPicture(kWidth, kHeight, 2)};
    const auto stream = encodeAsHost(pictures, kWidth, kHeight);
    sendConfig(stream);
    ASSERT_NO_FATAL_FAILURE(sendFrame(*stream.samples[0], 1));
    fresh();
    auto corrupt = *stream.samples[1];
    corrupt.avcc = testing::damagedSlices(corrupt.avcc);
    ASSERT_NO_FATAL_FAILURE(sendFrame(corrupt, 2, false));
    ASSERT_NO_FATAL_FAILURE(sendFrame(*stream.samples[2], 3, false));  // dropped: the stream waits for a keyframe
    const auto sent = fresh();
    EXPECT_EQ(std::ranges::count_if(sent, [](const auto& m) { return m.template as<protocol::RequestKeyframe>(); }), 1);
    EXPECT_EQ(std::ranges::count_if(sent, [](const auto& m) { return m.template as<protocol::Ack>(); }), 0);

    const auto key = encodeAsHost({pictures[2]}, kWidth, kHeight);
    ASSERT_NO_FATAL_FAILURE(sendFrame(*key.samples[0], 4));
    EXPECT_EQ(fresh<protocol::Ack>().size(), 1u);
    EXPECT_GT(psnr(view->surface().grab().toImage(), pictures[2], kWidth, kHeight), 40.0);
}

TEST_F(BoundSessionViewTest, PointerWheelAndKeysLeaveAsTheHostsMessages) {
    XTestDriver user(displayName);
    const QPoint centre = view->surface().mapToGlobal(view->surface().rect().center());
    user.moveTo(centre.x(), centre.y());
    settle();
    fresh();
    user.click(XTestDriver::kLeft);
    user.click(XTestDriver::kWheelUp);
    settle();
    const auto pointers = fresh<protocol::PointerInput>();
    ASSERT_EQ(pointers.size(), 3u);
    EXPECT_EQ(pointers[0].action, "down");
    EXPECT_EQ(pointers[1].action, "up");
    EXPECT_EQ(pointers[2].action, "scroll");
    EXPECT_EQ(pointers[2].dy, 16.0);
    EXPECT_NEAR(*pointers[0].x, 0.5, 0.03);
    EXPECT_NEAR(*pointers[0].y, 0.5, 0.03);

    user.chord({XTestDriver::kKeyA});
    user.chord({XTestDriver::kKeyTab});
    settle();
    const auto sent = fresh();
    ASSERT_EQ(sent.size(), 2u);
    ASSERT_TRUE(sent[0].as<protocol::TextInput>());
    EXPECT_EQ(sent[0].as<protocol::TextInput>()->value, "a");
    ASSERT_TRUE(sent[1].as<protocol::KeyInput>());
    EXPECT_EQ(sent[1].as<protocol::KeyInput>()->name, "tab");

    // Another window becomes active: what the host holds is let go.
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    run();
    const auto released = fresh<protocol::PointerInput>();
    ASSERT_FALSE(released.empty());
    EXPECT_EQ(released.back().action, "cancel");
}

TEST_F(BoundSessionViewTest, ButtonsActOnTheSession) {
    hostSays(protocol::Busy{});
    ASSERT_EQ(model->session().state(), client::ConnectionManager::State::busy);
    EXPECT_FALSE(view->surface().isVisible());
    fresh();
    QTest::mouseClick(view->button(B::takeOver), Qt::LeftButton);
    run();
    EXPECT_EQ(fresh<protocol::TakeOver>().size(), 1u);
    QTest::mouseClick(view->button(B::stop), Qt::LeftButton);
    run();
    EXPECT_EQ(model->session().state(), client::ConnectionManager::State::disconnected);
}

}  // namespace
}  // namespace orvanta::testing
