// Fakes of what the host controller's control messages drive: each records into the shared call
// log of FakeHostComponents and answers as the test sets it up.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/controller/HostControlSeams.h"
#include "support/FakeHostComponents.h"

namespace orvanta::testing {

// The hub and the pasteboard in one: peers are kept by identifier, writes are recorded.
class FakeHostClipboard final : public host::HostClipboard {
public:
    explicit FakeHostClipboard(HostCallLog log) : log_(std::move(log)) {}
    bool enabled() override { return on; }
    void attach(const std::string& id, Peer peer) override {
        log_->push_back("clipboard.attach");
        peers[id] = std::move(peer);
    }
    void receive(const platform::ClipboardPacket& packet, const std::string& from) override {
        received.emplace_back(packet, from);
    }
    void detach(const std::string& id) override {
        log_->push_back("clipboard.detach");
        peers.erase(id);
    }
    void sessionApplied() override { log_->push_back("clipboard.sessionApplied"); }
    bool writeText(const std::string& text) override {
        log_->push_back("pasteboard.text " + std::to_string(text.size()));
        return accepts;
    }
    std::optional<bool> writePng(const base::Bytes& png) override {
        const bool image = png.size() >= 8 && png[0] == 0x89 && png[1] == 'P';
        if (!image) return std::nullopt;
        log_->push_back("pasteboard.png " + std::to_string(png.size()));
        return accepts;
    }

    bool on = true;
    bool accepts = true;
    std::map<std::string, Peer> peers;
    std::vector<std::pair<platform::ClipboardPacket, std::string>> received;

private:
    HostCallLog log_;
};

// A desktop whose windows and applications the test sets; a launched application's window shows
// once `windowAfter` of the launches' polls have passed.
class FakeHostDesktopApps final : public host::HostDesktopApps {
public:
    explicit FakeHostDesktopApps(HostCallLog log) : log_(std::move(log)) {}
    std::vector<host::OpenWindowInfo> openWindows() override { return windows; }
    host::AppCatalog::Entries appEntries(const std::vector<host::OpenWindowInfo>& open) override {
        log_->push_back("apps.entries " + std::to_string(open.size()));
        return entries;
    }
    std::optional<base::Bytes> appIconPNG(std::int32_t pid) override {
        log_->push_back("apps.icon " + std::to_string(pid));
        if (auto found = icons.find(pid); found != icons.end()) return found->second;
        return std::nullopt;
    }
    std::optional<Launched> launch(const std::string& bundleId) override {
        log_->push_back("apps.launch " + bundleId);
        if (!installed.contains(bundleId)) return std::nullopt;
        return Launched{.pid = 4242, .windowClass = bundleId, .earlierWindows = {}};
    }
    std::optional<host::OpenWindowInfo> windowOf(const Launched&) override {
        if (++polls <= windowAfter) return std::nullopt;
        return host::OpenWindowInfo{77, 4242, "Editor", "untitled"};
    }
    bool terminated(const Launched&) override { return false; }

    std::vector<host::OpenWindowInfo> windows;
    host::AppCatalog::Entries entries;
    std::map<std::int32_t, base::Bytes> icons;
    std::set<std::string> installed;
    int windowAfter = 0;
    int polls = 0;

private:
    HostCallLog log_;
};

struct FakeHostControl {
    // One stroke per character; control characters are refused, as a layout would.
    static std::optional<std::vector<host::UnlockKeystroke>> planUnlock(const std::string& password) {
        std::vector<host::UnlockKeystroke> strokes;
        for (unsigned char c : password) {
            if (c < 0x20) return std::nullopt;
            strokes.push_back({.unicode = c});
        }
        return strokes;
    }

    explicit FakeHostControl(HostCallLog log)
        : clipboard(std::make_shared<FakeHostClipboard>(log)),
          apps(std::make_shared<FakeHostDesktopApps>(log)) {}

    std::shared_ptr<FakeHostClipboard> clipboard;
    std::shared_ptr<platform::DisplaySleep> displaySleep;  // none: no sleep poll
    std::shared_ptr<FakeHostDesktopApps> apps;

    host::HostControlComponents components(base::Executor& unlockQueue) const {
        return {.clipboard = clipboard,
                .planUnlock = planUnlock,
                .unlockQueue = &unlockQueue,
                .displaySleep = displaySleep,
                .apps = apps};
    }
};

}  // namespace orvanta::testing
