// The controller's views of what its control messages drive: input injection and the clipboard (hub
// and pasteboard); acknowledgements go to the video sender (HostComponents.h). Tests hand the
// controller fakes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "base/Executor.h"
#include "host/controller/HostDesktopSeams.h"
#include "host/desktop/InputInjector.h"
#include "host/desktop/LockUnlocker.h"
#include "platform/SessionState.h"
#include "platform/SyncPasteboard.h"
#include "protocol/ControlMessages.h"

namespace orvanta::host {

using InputResult = InputInjector::Result;

// Injects a device's input, attributed to its source (the device identifier).
class HostInjector {
public:
    virtual ~HostInjector() = default;
    virtual InputResult handle(const protocol::PointerInput& pointer, const std::string& source) = 0;
    virtual InputResult handle(const protocol::KeyInput& key, const std::string& source) = 0;
    virtual InputResult handle(const protocol::TextInput& text, const std::string& source) = 0;
    // Whether synthetic input can reach the display at all (the XTest extension is present).
    virtual bool trusted() = 0;
    // Releases the keys of every source, the modifiers and every pressed button, then refreshes
    // the hold timeout.
    virtual void releaseAll() = 0;
};

// The process-wide clipboard hub and the pasteboard, both on the main thread only.
class HostClipboard {
public:
    struct Peer {
        std::function<void(const platform::ClipboardPacket&)> send;
        std::function<void()> close;
    };
    virtual ~HostClipboard() = default;
    virtual bool enabled() = 0;
    virtual void attach(const std::string& id, Peer peer) = 0;
    virtual void receive(const platform::ClipboardPacket& packet, const std::string& from) = 0;
    virtual void detach(const std::string& id) = 0;
    virtual void sessionApplied() = 0;
    // Each clears the pasteboard and writes; false when it refused. A PNG that is not a sound image
    // (or declares dimensions beyond reason) gives nothing, and nothing is written.
    virtual bool writeText(const std::string& text) = 0;
    virtual std::optional<bool> writePng(const base::Bytes& png) = 0;
};

struct HostControlComponents {
    std::shared_ptr<HostInjector> injector;
    std::shared_ptr<HostClipboard> clipboard;
    // On the main thread: the keystrokes of a password in the current layout, nothing when it
    // holds a character the layout cannot type.
    std::function<std::optional<std::vector<UnlockKeystroke>>(const std::string& password)> planUnlock;
    base::Executor* unlockQueue = nullptr;  // "zq2.unlock": typing and polling block it for seconds
    // Where the display server sends no sleep signal, the controller polls this.
    std::shared_ptr<platform::DisplaySleep> displaySleep;
    std::shared_ptr<HostDesktopApps> apps;
};

}  // namespace orvanta::host
