// The one window's shell state: which side it shows, whether the settings page stands in for it,
// full screen and the client's immersive video, and a counter that asks the navigation bar to take
// focus. It adopts the window when it appears, follows its moves, resizes, full-screen changes and
// closing, and keeps a remembered frame per side. Everything that switches sides, opens settings or
// enters or leaves immersion goes through it. Main executor only; free of any toolkit.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "base/Executor.h"
#include "client/ui/AppWindow.h"
#include "client/ui/SideFrameMemory.h"
#include "client/viewer/ClientModel.h"
#include "client/viewer/Published.h"
#include "client/viewer/ViewerHandoffs.h"

namespace orvanta::client {

class UnifiedWindowState final : public WindowStateHandoff, public std::enable_shared_from_this<UnifiedWindowState> {
    struct Passkey {};

public:
    static constexpr std::string_view kWindowID = "tessaril-main";
    static constexpr std::string_view kHostTitle = "ホスト";
    static constexpr std::string_view kClientTitle = "クライアント";
    static constexpr Size kHostMinimumContentSize{360, 300};
    static constexpr Size kHostDefaultContentSize{760, 520};
    // The navigation bar and its separator, above the settings page's content.
    static constexpr double kSettingsAllowance = 38 + 1;
    // How long the window must stay put before its frame counts as its normal frame.
    static constexpr base::Micros kNormalFrameSettle{400'000};

    static std::shared_ptr<UnifiedWindowState> create(base::Executor& main, std::weak_ptr<ClientModel> model,
                                                      std::shared_ptr<DebugHandoff> debug);
    UnifiedWindowState(Passkey, base::Executor& main, std::weak_ptr<ClientModel> model,
                       std::shared_ptr<DebugHandoff> debug);
    ~UnifiedWindowState() override;
    UnifiedWindowState(const UnifiedWindowState&) = delete;
    UnifiedWindowState& operator=(const UnifiedWindowState&) = delete;

    // ---- Published.
    const Published<WindowSide>& side() const { return side_; }
    const Published<bool>& showingSettings() const { return showingSettings_; }
    const Published<int>& navigationRequest() const { return navigationRequest_; }
    const Published<bool>& isFullScreen() const { return isFullScreen_; }
    const Published<bool>& immersive() const { return immersive_; }

    // ---- Operations.
    void show(WindowSide side);
    void setSettingsVisible(bool visible);
    // The settings page's content height; the window is fitted to it.
    void fitSettings(double height);
    void restoreFrameAfterSettings();
    // False when there is no visible or miniaturised window to bring forward.
    bool bringToFront();
    void focusNavigation();
    // The session's "全画面": enters or leaves full screen unless a transition is under way.
    void toggleFullScreen();
    void videoBecameAvailable(bool autoEnter) override;
    void endImmersiveSession() override;
    void attach(const std::shared_ptr<AppWindow>& window);
    void windowWillClose();
    void updateFullScreen();
    void windowDidResize();
    void applyFrame(WindowSide side, Point topLeft, Size chrome);
    bool hasVisibleWindow() const;

    const SideFrameMemory& memory() const { return memory_; }
    const std::optional<platform::Rect>& lastNormalFrame() const { return lastNormalFrame_; }

private:
    struct SettingsFrames {
        platform::Rect before;
        platform::Rect fitted;
    };

    void observe(AppWindow& window);
    static void stopObserving(AppWindow& window);
    void willEnterFullScreen();
    void didEnterFullScreen();
    void willExitFullScreen();
    void didExitFullScreen();
    void clearNormalFrame();
    void incrementNavigationRequest();
    void log(const std::string& line) const;
    // Runs `fn` on the next turn of the main executor, while this state still exists.
    template <class F>
    void nextTurn(F fn);

    base::Executor& main_;
    std::weak_ptr<ClientModel> model_;
    std::shared_ptr<DebugHandoff> debug_;

    Published<WindowSide> side_{WindowSide::host};
    Published<bool> showingSettings_{false};
    Published<int> navigationRequest_{0};
    Published<bool> isFullScreen_{false};
    Published<bool> immersive_{false};
    bool enteringFullScreen_ = false;
    bool exitingFullScreen_ = false;
    bool focusNavigationAfterExit_ = false;
    bool exitAfterEntry_ = false;
    SideFrameMemory memory_;
    std::weak_ptr<AppWindow> window_;
    std::optional<platform::Rect> lastNormalFrame_;
    base::TaskHandle normalFrameDebounce_;
    bool sizePendingForAttach_ = false;
    std::optional<double> settingsHeight_;
    std::optional<SettingsFrames> settingsFrames_;
};

}  // namespace orvanta::client
