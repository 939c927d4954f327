#include "platform/x11/X11WindowObserver.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "platform/x11/X11WindowProperties.h"

namespace orvanta::platform::x11 {
namespace {

// Root property changes tell of focus and new windows; a DestroyNotify of the target tells of its end.
class X11WindowObserver final : public AXObserver {
public:
    X11WindowObserver(std::unique_ptr<XConnection> x, const X11WindowSystem::Atoms& atoms, std::int32_t pid,
                      base::Executor& executor, Callback callback)
        : x_(std::move(x)),
          atoms_(atoms),
          pid_(pid),
          executor_(executor),
          callback_(std::move(callback)),
          alive_(std::make_shared<std::atomic<bool>>(true)),
          wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    ~X11WindowObserver() override {
        alive_->store(false);
        if (thread_.joinable()) {
            std::uint64_t one = 1;
            [[maybe_unused]] auto written = write(wake_, &one, sizeof one);
            thread_.join();
        }
        if (wake_ >= 0) close(wake_);
    }

    int addNotification(const AXElement& element, std::string_view notification) override {
        auto* c = x_->get();
        if (notification == "AXWindowCreated" || notification == "AXFocusedWindowChanged") {
            if (element.pid != pid_ || !element.isApplication()) return AXError::illegalArgument;
            const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
            xcb_change_window_attributes(c, x_->root(), XCB_CW_EVENT_MASK, &mask);
            (notification == "AXWindowCreated" ? created_ : focused_) = true;
            return x_->hasError() ? AXError::cannotComplete : AXError::success;
        }
        if (notification == "AXUIElementDestroyed" && !element.isApplication()) {
            const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
            auto* error =
                xcb_request_check(c, xcb_change_window_attributes_checked(c, element.window, XCB_CW_EVENT_MASK, &mask));
            if (error) {
                std::free(error);
                return AXError::invalidUIElement;
            }
            target_ = element;
            return AXError::success;
        }
        return AXError::notImplemented;
    }

    void start() override {
        known_ = clientList();
        xcb_flush(x_->get());
        thread_ = std::thread([this] { run(); });
    }

private:
    std::set<xcb_window_t> clientList() {
        auto* c = x_->get();
        xcb_generic_error_t* error = nullptr;
        auto reply =
            take(xcb_get_property_reply(
                     c, xcb_get_property(c, 0, x_->root(), atoms_.ids[kClientList], XCB_ATOM_WINDOW, 0, kMaxListLongs),
                     &error),
                 &error);
        auto values = propertyLongs(reply.get());
        return {values.begin(), values.end()};
    }

    std::optional<std::int32_t> pidOf(xcb_window_t window) {
        auto* c = x_->get();
        xcb_generic_error_t* error = nullptr;
        auto reply = take(xcb_get_property_reply(
                              c, xcb_get_property(c, 0, window, atoms_.ids[kWmPid], XCB_ATOM_CARDINAL, 0, 1), &error),
                          &error);
        auto values = propertyLongs(reply.get());
        if (values.empty()) return clientPids(c, {window}).front();
        return static_cast<std::int32_t>(values[0]);
    }

    void deliver(std::string_view notification, AXElement element) {
        executor_.async([alive = alive_, callback = callback_, name = std::string(notification), element] {
            if (alive->load()) callback(name, element);
        });
    }

    void onProperty(const xcb_property_notify_event_t& event) {
        if (event.window != x_->root()) return;
        if (event.atom == atoms_.ids[kActiveWindow] && focused_) {
            auto* c = x_->get();
            xcb_generic_error_t* error = nullptr;
            auto reply = take(
                xcb_get_property_reply(
                    c, xcb_get_property(c, 0, x_->root(), atoms_.ids[kActiveWindow], XCB_ATOM_WINDOW, 0, 1), &error),
                &error);
            auto values = propertyLongs(reply.get());
            if (!values.empty() && values[0] != 0 && pidOf(values[0]) == pid_) {
                deliver("AXFocusedWindowChanged", {pid_, values[0]});
            }
        } else if (event.atom == atoms_.ids[kClientList] && created_) {
            auto now = clientList();
            for (auto window : now) {
                if (!known_.contains(window) && pidOf(window) == pid_) deliver("AXWindowCreated", {pid_, window});
            }
            known_ = std::move(now);
        }
    }

    void run() {
        auto* c = x_->get();
        std::array<pollfd, 2> descriptors{pollfd{xcb_get_file_descriptor(c), POLLIN, 0}, pollfd{wake_, POLLIN, 0}};
        while (alive_->load() && !xcb_connection_has_error(c)) {
            while (auto* event = xcb_poll_for_event(c)) {
                const auto type = event->response_type & 0x7f;
                if (type == XCB_PROPERTY_NOTIFY) {
                    onProperty(*reinterpret_cast<xcb_property_notify_event_t*>(event));
                } else if (type == XCB_DESTROY_NOTIFY && target_ &&
                           reinterpret_cast<xcb_destroy_notify_event_t*>(event)->window == target_->window) {
                    deliver("AXUIElementDestroyed", *target_);
                }
                std::free(event);
            }
            if (poll(descriptors.data(), descriptors.size(), -1) < 0 && errno != EINTR) return;
            if (descriptors[1].revents) return;
        }
    }

    std::unique_ptr<XConnection> x_;
    const X11WindowSystem::Atoms& atoms_;
    std::int32_t pid_;
    base::Executor& executor_;
    Callback callback_;
    std::shared_ptr<std::atomic<bool>> alive_;
    int wake_;
    bool created_ = false;
    bool focused_ = false;
    std::optional<AXElement> target_;
    std::set<xcb_window_t> known_;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<AXObserver> makeWindowObserver(std::unique_ptr<XConnection> x, const X11WindowSystem::Atoms& atoms,
                                               std::int32_t pid, base::Executor& executor,
                                               AXObserver::Callback callback) {
    return std::make_unique<X11WindowObserver>(std::move(x), atoms, pid, executor, std::move(callback));
}

}  // namespace orvanta::platform::x11
