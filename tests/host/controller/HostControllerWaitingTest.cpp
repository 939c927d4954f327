// Two devices contending for the host over its own listener: busy and each way out of it, the
// controller session, detach with its 60 s return window, and the order of a session's end.
#include "HostControllerHelloSupport.h"
#include "support/FakeHostComponents.h"

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;
using Close = std::pair<int, std::string>;

class HostWaitingTest : public HostHelloTest {
protected:
    void SetUp() override {
        HostHelloTest::SetUp();
        advance(40s);  // room for a last pong 30 s in the past
    }

    // A second device's connection, answered "busy".
    std::unique_ptr<HostControlDevice> busy(const std::string& token, const std::string& deviceId) {
        auto device = open(hello(token, deviceId));
        EXPECT_TRUE(await([&] { return device->nextText("busy"); }));
        return device;
    }
};

TEST_F(HostWaitingTest, AnotherDeviceIsToldBusyAndTakesOverOnRequest) {
    auto a = mainSession();
    auto b = busy(tokenB, "dev-b");
    EXPECT_TRUE(logged("busy sent to dev-b"));
    EXPECT_TRUE(logged("control waiting: hello decides (resume / supersede / busy)"));
    EXPECT_EQ(probe().session()->deviceId, "dev-a");
    b->send(R"({"type":"takeOver"})");
    const auto notice = await([&] { return a->nextText("notice"); });
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->at("kind"), "takenOver");
    EXPECT_EQ(await([&] { return a->nextClose(); }), (Close{1001, "taken over"}));
    EXPECT_TRUE(await([&] { return b->nextText("welcome"); }));
    EXPECT_EQ(probe().session()->deviceId, "dev-b");
    EXPECT_TRUE(logged("session taken over by dev-b"));
}

TEST_F(HostWaitingTest, WaitingHelloThatDoesNotDecodeIsClosed) {
    auto a = mainSession();
    auto waiter = open(R"({"type":"hello","token":"t"})");
    EXPECT_EQ(await([&] { return waiter->nextClose(); }), (Close{4002, "invalid message"}));
    EXPECT_EQ(probe().session()->deviceId, "dev-a");
    EXPECT_FALSE(probe().controllerSession());
}

TEST_F(HostWaitingTest, WaitingDeviceWithABadTokenIsClosed) {
    auto a = mainSession();
    auto b = open(hello("forged", "dev-b"));
    EXPECT_EQ(await([&] { return b->nextClose(); }), (Close{4003, "auth failed"}));
    EXPECT_TRUE(logged("busy waiter auth failed"));
}

TEST_F(HostWaitingTest, SilentSessionIsSupersededOnlyAfterThirtySecondsAndNeverWhenDetached) {
    struct Case {
        std::string name;
        std::uint64_t silence;
        bool detached;
        bool superseded;
    };
    const std::vector<Case> cases = {
        {"30.1 s silent", 30'100'000, false, true},
        {"29 s silent", 29'000'000, false, false},
        {"detached long ago", 39'000'000, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto a = mainSession();
        auto session = probe().session();
        session->lastPongAt = queue.nowMicros() - c.silence;
        if (c.detached) session->detachedAt = 0;
        auto b = open(hello(tokenB, "dev-b"));
        if (c.superseded) {
            EXPECT_EQ(await([&] { return a->nextClose(); }), (Close{1001, "superseded"}));
            EXPECT_TRUE(await([&] { return b->nextText("welcome"); }));
            EXPECT_EQ(probe().session()->deviceId, "dev-b");
            EXPECT_TRUE(logged("session superseded by dev-b (old session silent)"));
        } else {
            EXPECT_TRUE(await([&] { return b->nextText("busy"); }));
            EXPECT_EQ(probe().session(), session);
        }
        endCurrentSession();
    }
}

TEST_F(HostWaitingTest, SameDeviceResumesItsLiveSessionOnANewConnection) {
    auto old = mainSession();
    const auto first = probe().session();
    fakes.log->clear();
    auto again = open(hello(tokenA, "dev-a"));
    EXPECT_EQ(await([&] { return old->nextClose(); }), (Close{1001, "replaced"}));
    const auto welcome = await([&] { return again->nextText("welcome"); });
    ASSERT_TRUE(welcome);
    const auto resumed = probe().session();
    ASSERT_NE(resumed, first);
    EXPECT_NE(welcome->at("sessionId"), first->sessionId);
    EXPECT_NE(welcome->at("videoTicket"), first->ticket);
    EXPECT_TRUE(logged("session resumed by dev-a"));
    const std::vector<std::string> expected = {"input.endSession dev-a", "sender.detach", "input.releaseKeys",
                                               "input.releasePointerInputs", "input.beginSession dev-a"};
    EXPECT_EQ(*fakes.log, expected);
    // The replaced connection's close no longer reaches the controller.
    old->write(closeFrame(1001));
    ASSERT_TRUE(drive([&] { return first->control->isClosed(); }));
    EXPECT_EQ(probe().session(), resumed);
}

TEST_F(HostWaitingTest, SecondWaitingConnectionDropsTheFirstWithoutACloseFrame) {
    auto a = mainSession();
    auto first = busy(tokenB, "dev-b");
    auto second = busy(tokenB, "dev-b");
    EXPECT_TRUE(await([&] { return first->endsWithoutCloseFrame(); }));
    second->send(R"({"type":"joinController"})");  // the second is the one waiting
    EXPECT_TRUE(await([&] { return second->nextText("controllerJoined"); }));
}

TEST_F(HostWaitingTest, ControllerJoinsBesideTheMainSessionAndIsReplacedByTheNext) {
    auto a = mainSession();
    auto first = busy(tokenB, "dev-b");
    first->send(R"({"type":"joinController"})");
    EXPECT_TRUE(await([&] { return first->nextText("controllerJoined"); }));
    EXPECT_EQ(probe().controllerSession()->deviceId, "dev-b");
    EXPECT_TRUE(drive([&] { return shown().links.contains("dev-b"); }));
    EXPECT_EQ(shown().links.at("dev-b").role, host::LinkRole::controller);
    EXPECT_TRUE(logged("controller joined: dev-b"));

    auto second = busy(tokenB, "dev-b");
    second->send(R"({"type":"joinController"})");
    EXPECT_EQ(await([&] { return first->nextClose(); }), (Close{1001, "replaced"}));
    EXPECT_TRUE(await([&] { return second->nextText("controllerJoined"); }));
    const auto joined = probe().controllerSession();
    advance(3s);
    second->send(R"({"type":"pong","id":1,"t":0,"clientTime":0})");
    EXPECT_TRUE(drive([&] { return joined->lastPongAt == queue.nowMicros(); }));

    second->write(closeFrame(1000));
    ASSERT_TRUE(drive([&] { return logged("controller detached: dev-b"); }));
    EXPECT_FALSE(probe().controllerSession());
    EXPECT_EQ(probe().session()->deviceId, "dev-a");
}

TEST_F(HostWaitingTest, UnauthenticatedSessionYieldsToAPairedDeviceAsItsHelloTimeoutWould) {
    auto stranger = open(R"({"type":"hello","token":"guess"})");
    ASSERT_TRUE(drive([&] { return probe().session() != nullptr; }));
    auto a = open(hello(tokenA, "dev-a"));
    EXPECT_TRUE(await([&] { return a->nextText("welcome"); }));
    EXPECT_EQ(await([&] { return stranger->nextClose(); }), (Close{4002, "hello timeout"}));
    EXPECT_EQ(probe().session()->deviceId, "dev-a");
    EXPECT_FALSE(probe().busyWaiter());
    // Its stale hello timer leaves the new session alone (kept clear of the keep-alive here).
    probe().session()->lastPongAt = queue.nowMicros() + 10'000'000;
    advance(kHello);
    EXPECT_TRUE(probe().session()->authenticated);
}

TEST_F(HostWaitingTest, DetachedSessionWaitsSixtySecondsForItsDevice) {
    for (const bool returns : {true, false}) {
        SCOPED_TRACE(returns ? "returns" : "expires");
        auto a = mainSession();
        const auto session = probe().session();
        fakes.log->clear();
        a->write(closeFrame(1000));
        ASSERT_TRUE(drive([&] { return session->detachedAt.has_value(); }));
        EXPECT_EQ(fakes.log->front(), "input.endSession dev-a all");
        EXPECT_TRUE(drive([&] { return shown().statusText == "復帰待ち: Tablet A（60秒）"; }));
        EXPECT_EQ(shown().links.at("dev-a").role, host::LinkRole::waitingReturn);
        EXPECT_FALSE(shown().connectedName);
        EXPECT_TRUE(logged("session detached: waiting for dev-a to return"));
        advance(60s - 1us);
        EXPECT_EQ(probe().session(), session);
        if (returns) {
            auto back = open(hello(tokenA, "dev-a"));
            EXPECT_TRUE(await([&] { return back->nextText("welcome"); }));
            advance(1us);
            EXPECT_TRUE(probe().session()->authenticated);
            EXPECT_FALSE(probe().session()->detachedAt);
            endCurrentSession();
        } else {
            advance(1us);
            EXPECT_FALSE(probe().session());
            EXPECT_TRUE(logged("session ended: detach expired"));
            EXPECT_TRUE(drive([&] { return shown().statusText == "待受中（127.0.0.1:8766）"; }));
        }
    }
    const std::vector<std::string> phases = {"session phase=start",  "session phase=detach", "session phase=start",
                                             "session phase=resume", "session phase=end",    "session phase=start",
                                             "session phase=detach", "session phase=end"};
    EXPECT_EQ(inputLog, phases);
}

TEST_F(HostWaitingTest, SessionEndReleasesEverythingInItsOrder) {
    auto a = mainSession();
    auto b = busy(tokenB, "dev-b");
    b->send(R"({"type":"joinController"})");
    ASSERT_TRUE(await([&] { return b->nextText("controllerJoined"); }));
    probe().capture() = std::make_shared<FakeHostCapture>(fakes.log);
    probe().encoder() = std::make_shared<FakeHostEncoder>(fakes.log);
    fakes.log->clear();
    logs.clear();
    probe().endSession(4005, "revoked");
    EXPECT_EQ(await([&] { return b->nextClose(); }), (Close{1001, "main session ended"}));
    EXPECT_EQ(await([&] { return a->nextClose(); }), (Close{4005, "revoked"}));
    const std::vector<std::string> calls = {"blackout.off",      "input.endSession dev-b",     "sender.detach",
                                            "input.releaseKeys", "input.releasePointerInputs", "input.endSession dev-a",
                                            "capture.stop",      "encoder.invalidate"};
    EXPECT_EQ(*fakes.log, calls);
    const std::vector<std::string> lines = {"session cleanup: begin (revoked)",
                                            "session cleanup: blackout release evaluated",
                                            "controller closed: main session ended",
                                            "session cleanup: socket close requested",
                                            "session cleanup: window and display restoration dispatched",
                                            "session ended: revoked"};
    std::vector<std::string> cleanup;
    for (const auto& line : logs) {
        if (std::ranges::find(lines, line) != lines.end()) cleanup.push_back(line);
    }
    EXPECT_EQ(cleanup, lines);
    EXPECT_EQ(probe().windowPointerState(), host::HostController::WindowPointerState::ready);
    EXPECT_TRUE(drive([&] { return shown().statusText == "待受中（127.0.0.1:8766）" && !shown().connectedName; }));
}

}  // namespace
}  // namespace orvanta::testing
