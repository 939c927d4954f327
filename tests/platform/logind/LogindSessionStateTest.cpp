// Lock state against logind and the screen saver as python3-dbusmock plays them on private buses.
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/logind/LogindSessionState.h"
#include "support/DbusMockFixture.h"
#include "support/XvfbFixture.h"

namespace orvanta::testing {
namespace {

using platform::logind::LogindSessionState;

constexpr const char* kDisplay = ":77";
constexpr const char* kMock = "org.freedesktop.DBus.Mock";

class LockState : public ::testing::Test {
protected:
    // Starts a bus standing in for the system or the session bus; skips (fails under CI) without one.
    std::unique_ptr<PrivateBus> bus() {
        auto started = PrivateBus::start();
        if (!started) {
            skipOrFailWithoutService("D-Bus: " + started.error());
            return nullptr;
        }
        return std::move(*started);
    }

    // logind with one session of ours on kDisplay.
    void startLogind(PrivateBus& system) {
        auto mock = system.runMock({"--template", "logind"}, "org.freedesktop.login1", true,
                                   {std::string("DISPLAY=") + kDisplay});
        ASSERT_TRUE(mock) << mock.error();
        auto client = BusClient::connect(system.address());
        ASSERT_TRUE(client) << client.error();
        client->call("org.freedesktop.login1", "/org/freedesktop/login1", kMock, "AddSession", "ssusb", "c7", "seat0",
                     std::uint32_t(::geteuid()), "someone", 1);
    }
    void setLocked(PrivateBus& system, bool locked) {
        auto client = BusClient::connect(system.address());
        ASSERT_TRUE(client);
        client->call("org.freedesktop.login1", "/org/freedesktop/login1/session/c7", "org.freedesktop.login1.Session",
                     "SetLockedHint", "b", int(locked));
    }

    void startScreenSaver(PrivateBus& session) {
        auto mock = session.runMock(
            {"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver"},
            "org.freedesktop.ScreenSaver", false);
        ASSERT_TRUE(mock) << mock.error();
    }
    void setScreenSaverActive(PrivateBus& session, bool active) {
        auto client = BusClient::connect(session.address());
        ASSERT_TRUE(client);
        const std::string code = active ? "ret = True" : "ret = False";
        client->call("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", kMock, "AddMethod", "sssss", "",
                     "GetActive", "", "b", code.c_str());
    }

    static constexpr const char* kNowhere = "unix:path=/nonexistent/orvanta-no-bus";
};

TEST_F(LockState, FollowsTheLockedHintOfThisDisplaysSession) {
    auto system = bus();
    if (!system) return;
    ASSERT_NO_FATAL_FAILURE(startLogind(*system));
    LogindSessionState state({kDisplay, system->address(), kNowhere});
    EXPECT_EQ(state.screenLocked(), false);
    ASSERT_NO_FATAL_FAILURE(setLocked(*system, true));  // announced with PropertiesChanged
    EXPECT_EQ(state.screenLocked(), true);
    ASSERT_NO_FATAL_FAILURE(setLocked(*system, false));
    EXPECT_EQ(state.screenLocked(), false);
    LogindSessionState withScreen({std::string(kDisplay) + ".0", system->address(), kNowhere});
    EXPECT_EQ(withScreen.screenLocked(), false);

    LogindSessionState otherDisplay({":78", system->address(), kNowhere});
    ::unsetenv("XDG_SESSION_ID");
    EXPECT_EQ(otherDisplay.screenLocked(), std::nullopt);  // not our session, and no screen saver
}

TEST_F(LockState, FallsBackToTheScreenSaverWithoutLogind) {
    auto system = bus();
    if (!system) return;
    auto session = bus();
    if (!session) return;
    ASSERT_NO_FATAL_FAILURE(startScreenSaver(*session));
    ASSERT_NO_FATAL_FAILURE(setScreenSaverActive(*session, true));
    LogindSessionState state({kDisplay, system->address(), session->address()});  // a bus without logind
    EXPECT_EQ(state.screenLocked(), true);
    ASSERT_NO_FATAL_FAILURE(setScreenSaverActive(*session, false));
    EXPECT_EQ(state.screenLocked(), false);
}

TEST_F(LockState, IsUnknownWithoutAnyBus) {
    LogindSessionState state({kDisplay, kNowhere, kNowhere});
    EXPECT_EQ(state.screenLocked(), std::nullopt);
    EXPECT_EQ(state.screenLocked(), std::nullopt);
}

TEST_F(LockState, ABusThatGoesAwayTurnsTheAnswerUnknown) {
    auto system = bus();
    if (!system) return;
    ASSERT_NO_FATAL_FAILURE(startLogind(*system));
    ASSERT_NO_FATAL_FAILURE(setLocked(*system, true));
    LogindSessionState state({kDisplay, system->address(), kNowhere});
    EXPECT_EQ(state.screenLocked(), true);
    system.reset();
    EXPECT_EQ(state.screenLocked(), std::nullopt);
}

}  // namespace
}  // namespace orvanta::testing
