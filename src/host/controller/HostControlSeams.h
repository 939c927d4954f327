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
#include "platform/InputSink.h"
#include "platform/SessionState.h"
#include "platform/SyncPasteboard.h"
#include "protocol/ControlMessages.h"

namespace orvanta::host {

using InputResult = InputInjector::Result;

// The pointer position normalised to the captured picture (0...1 across it), and whether it shows.
struct NormalizedCursor {
    double x = 0;
    double y = 0;
    bool visible = false;
    bool operator==(const NormalizedCursor&) const = default;
};

// Where pointer input lands: a captured window's picture maps onto `targetRect` and input outside
// `visibleWindowRect` is dropped (both in global display coordinates); otherwise the picture shows
// `displayID` (nothing: the main display), over `displayContentRect` of the frame (nothing: all of it).
struct InputMapping {
    std::optional<platform::DisplayRect> targetRect;
    std::optional<platform::DisplayRect> visibleWindowRect;
    std::optional<std::uint32_t> displayID;
    std::optional<platform::DisplayRect> displayContentRect;
    bool operator==(const InputMapping&) const = default;
};

// Input injection: a device's input attributed to its source (the device identifier), its input
// sessions, the releases, and where input maps to.
class HostInput {
public:
    virtual ~HostInput() = default;
    virtual InputResult handle(const protocol::PointerInput& pointer, const std::string& source) = 0;
    virtual InputResult handle(const protocol::KeyInput& key, const std::string& source) = 0;
    virtual InputResult handle(const protocol::TextInput& text, const std::string& source) = 0;
    // Whether synthetic input can reach the display at all (the XTest extension is present).
    virtual bool trusted() = 0;
    // The current pointer, normalised to the captured picture.
    virtual NormalizedCursor cursorNormalized() = 0;
    // Ends a device's input session and releases what it holds (every source's when asked).
    virtual void endSession(const std::string& source, bool releaseAllSources) = 0;
    // Session start and hand-over: a device's input session begins; held keys and pointer input,
    // untracked inputs included, are released.
    virtual void beginSession(const std::string& source) = 0;
    virtual void releaseKeys() = 0;
    virtual void releasePointerInputs() = 0;
    // Held modifiers, then a button-up at the pointer for each pressed button; nothing untracked.
    virtual void releaseHeldPointerInputs() = 0;
    // Pause: the keys of every source, the modifiers and every pressed button, then the hold
    // timeout refreshed.
    virtual void releaseAll() = 0;
    virtual InputMapping mapping() const = 0;
    virtual void setMapping(const InputMapping& mapping) = 0;
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
