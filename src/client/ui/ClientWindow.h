// The client side of the one window: the side's title and start-up facts, and the content the
// window places in its client layer. The content shows the connect screen, kept alive while hidden,
// or the session view, made only while a session is on screen and wired to the window state and
// the host-window picker; it tells the window whether a session is shown and hands the model the
// window it lives in.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.h"
#include "base/Executor.h"
#include "base/Settings.h"
#include "client/ui/SessionView.h"
#include "client/ui/UnifiedWindowState.h"
#include "client/viewer/ClientModel.h"
#include "platform/ServiceBrowser.h"

namespace orvanta::clipboard {
class ClipboardSync;
}

namespace orvanta::client {

class ConnectView;

namespace ClientWindow {

inline constexpr std::string_view kTitle = "他の端末を見る";

// Opens on the client side only in a debug-automation run.
inline bool opensAtLaunch(const DebugHandoff& debug) { return debug.isActive(); }

// The debug note of the standalone client's import, when the model's creation ran it.
std::optional<std::string> importNote(const ClientModel& model);

}  // namespace ClientWindow

// Everything the client side's screens are made from.
struct ClientScreens {
    base::Executor& main;
    const base::Clock& clock;
    std::shared_ptr<ClientModel> model;
    std::shared_ptr<UnifiedWindowState> windowState;
    std::shared_ptr<base::Settings> defaults;
    clipboard::ClipboardSync& hub;
    platform::ServiceBrowserFactory browsers;
};

// A widget as the model measures it: its size in points and its device pixel ratio, nothing while
// it is in no window.
class WidgetMeasure final : public MeasuredView {
public:
    explicit WidgetMeasure(QWidget* widget) : widget_(widget) {}
    std::optional<ViewportMetrics> metrics() const override;

private:
    QPointer<QWidget> widget_;
};

class ClientSideContent final : public QWidget {
public:
    ClientSideContent(const ClientScreens& screens, QWidget* parent = nullptr);
    ~ClientSideContent() override;

    // Whether the client side is the one shown (client side selected, settings closed).
    void setSideVisible(bool visible);
    void setDiscoveryDenied(bool denied);
    // Told at the first showing and after every change whether a session is on screen.
    std::function<void(bool)> sessionVisibilityChanged;

    ConnectView* connectView() const { return connectView_; }
    SessionView* sessionView() const { return sessionView_; }
    std::shared_ptr<const MeasuredView> videoSurface() const;
    void focusVideoSurface();

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void refresh();
    void makeSessionView();
    void presentWindowPicker(bool shown);
    void reportSessionShown();
    void reportWindow();

    ClientScreens screens_;
    bool sideVisible_ = false;
    bool appeared_ = false;
    ConnectView* connectView_ = nullptr;
    QPointer<SessionView> sessionView_;
    std::shared_ptr<WidgetMeasure> surfaceMeasure_;
    QPointer<QDialog> picker_;
    std::optional<bool> sessionShown_;
    std::shared_ptr<WidgetMeasure> windowMeasure_;
    std::vector<Subscription> subscriptions_;
};

}  // namespace orvanta::client
