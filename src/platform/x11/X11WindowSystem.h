// The desktop's windows over xcb and the window manager's EWMH properties: the client list in
// stacking order as the window-server list, each client window as an accessibility window, moves
// and resizes as requests to the window manager, notifications from a connection of their own.
#pragma once

#include <expected>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/WindowSystem.h"
#include "platform/x11/XConnection.h"

namespace orvanta::platform::x11 {

class X11WindowSystem final : public WindowSystem {
public:
    static std::expected<std::unique_ptr<X11WindowSystem>, std::string> open(const std::string& display = {});
    ~X11WindowSystem() override;

    std::optional<std::vector<WindowDescription>> windowList(bool onScreenOnly) override;
    std::optional<WindowDescription> windowDescription(std::uint32_t number) override;
    bool isAccessibilityTrusted() override;
    std::expected<AXValue, int> copyAttribute(const AXElement& element, std::string_view name) override;
    int setAttribute(const AXElement& element, std::string_view name, const AXValue& value) override;
    int performAction(const AXElement& element, std::string_view action) override;
    void setMessagingTimeout(const AXElement& element, double seconds) override;
    std::expected<std::uint32_t, int> windowID(const AXElement& element) override;
    void waitForFrameChange(const AXElement& element, std::uint64_t timeoutMicros) override;
    std::unique_ptr<AXObserver> createObserver(std::int32_t pid, base::Executor& executor,
                                               AXObserver::Callback callback) override;
    std::optional<RunningApplication> frontmostApplication() override;
    std::vector<RunningApplication> runningApplications() override;
    bool activateApplication(std::int32_t pid) override;
    std::optional<IconImage> applicationIcon(std::int32_t pid) override;

    struct Atoms;
    struct Client;

private:
    X11WindowSystem(std::string display, std::unique_ptr<XConnection> connection, std::unique_ptr<Atoms> atoms);

    std::optional<std::vector<xcb_window_t>> stackingFrontToBack();
    std::vector<Client> fetch(const std::vector<xcb_window_t>& windows);
    std::expected<Client, int> client(const AXElement& element);
    std::optional<xcb_window_t> activeWindow();
    void sendToRoot(xcb_window_t window, xcb_atom_t type, std::array<std::uint32_t, 5> data);
    int moveResize(const AXElement& element, std::optional<Point> origin, std::optional<Size> size);
    Rect trackRequest(const Client& window, std::optional<Point> origin, std::optional<Size> size);
    int connectionError() const;

    std::string display_;
    std::unique_ptr<XConnection> x_;
    std::unique_ptr<Atoms> atoms_;

    struct ClearedStates {
        std::vector<xcb_atom_t> states;
        Rect frame;      // where the window was when they were cleared
        Rect requested;  // the frame asked for by the writes since, which the window applies later
    };
    std::mutex mutex_;
    std::map<xcb_window_t, ClearedStates> cleared_;
    std::unique_ptr<XConnection> waits_;  // for frame waits, opened on first use
};

}  // namespace orvanta::platform::x11
