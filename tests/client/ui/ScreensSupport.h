// The client's screens as the application builds them, on the test's X server under a window
// manager, over the real client model with real network clients: the window, its state, the model
// and what they are made from. Each test makes its own; screenshots go to the test artifacts.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QTest>

#include <memory>
#include <string>

#include "base/DispatchQueue.h"
#include "client/ui/UnifiedWindow.h"
#include "clipboard/ClipboardSync.h"
#include "platform/beast/BeastHttpClient.h"
#include "platform/beast/BeastWebSocketClient.h"
#include "platform/pulse/PulseAudioOutput.h"
#include "platform/qt/QtMainExecutor.h"
#include "support/FakePasteboard.h"
#include "support/FakeServiceBrowser.h"
#include "support/MemorySecretStore.h"
#include "support/MemorySettings.h"
#include "support/QtWidgetsApp.h"
#include "support/XvfbFixture.h"

namespace orvanta::testing {

inline constexpr int kNetworkWaitMillis = 20'000;

class Screens {
public:
    Screens() {
        hub = std::make_unique<clipboard::ClipboardSync>(main, *settings, *board, codec, [] { return "screens"; });
        model = client::ClientModel::create({
            .main = main,
            .clock = base::SystemClock::shared(),
            .defaults = settings,
            .standaloneSuite = nullptr,
            .secrets = secrets,
            .sockets = std::make_shared<platform::BeastWebSocketClient>(),
            .http = std::make_shared<platform::BeastHttpClient>(),
            .pasteboard = board,
            .hub = *hub,
            .audioQueue = audioQueue,
            .audioOutput = [] { return std::make_unique<platform::pulse::PulseAudioOutput>(); },
            .mainScreenScale = [] { return std::optional<double>(1); },
            .machineInfo = "/nonexistent/machine-info",
        });
        state = client::UnifiedWindowState::create(main, model, nullptr);
        window = std::make_unique<client::UnifiedWindow>(client::UnifiedWindowParts{
            .client = {.main = main,
                       .clock = base::SystemClock::shared(),
                       .model = model,
                       .windowState = state,
                       .defaults = settings,
                       .hub = *hub,
                       .browsers = browsers.factory()},
            .hub = *hub,
            .hostSide = {},
            .settingsPage = {},
            .computerName = "test-machine",
            .firstShown = {},
            .fittingHeight = {},
        });
    }
    ~Screens() {
        model->connection().disconnect();
        window.reset();
        QTest::qWait(0);
    }

    // Shows the window and waits for the state to adopt it.
    bool open() {
        window->openWindow();
        return QTest::qWaitForWindowActive(window.get()) &&
               QTest::qWaitFor([this] { return state->hasVisibleWindow(); }, kNetworkWaitMillis);
    }

    template <class T = QWidget>
    T* find(const QString& name) const {
        return window->findChild<T*>(name);
    }
    // The visible label showing exactly `text`, or null.
    QLabel* label(const QString& text) const {
        for (auto* each : window->findChildren<QLabel*>()) {
            if (each->text() == text && each->isVisible()) return each;
        }
        return nullptr;
    }
    static void click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    void screenshot(const std::string& name) const {
        QTest::qWait(50);
        EXPECT_TRUE(window->grab().save(artifactPath(name))) << name;
    }

    platform::qt::QtMainExecutor main;
    base::DispatchQueue audioQueue{"clientcore.audio"};
    std::shared_ptr<MemorySettings> settings = std::make_shared<MemorySettings>();
    std::shared_ptr<MemorySecretStore> secrets = std::make_shared<MemorySecretStore>();
    std::shared_ptr<FakePasteboard> board = std::make_shared<FakePasteboard>();
    FakeImageCodec codec;
    FakeServiceBrowsers browsers;
    std::unique_ptr<clipboard::ClipboardSync> hub;
    std::shared_ptr<client::ClientModel> model;
    std::shared_ptr<client::UnifiedWindowState> state;
    std::unique_ptr<client::UnifiedWindow> window;
};

}  // namespace orvanta::testing

// In a test body: the X server with a window manager and the widgets application, or a skip.
#define ORVANTA_REQUIRE_SCREENS()                                                 \
    ORVANTA_REQUIRE_XVFB(::orvanta::testing::XvfbOptions{.windowManager = true}); \
    ::orvanta::testing::qtWidgetsApp()
