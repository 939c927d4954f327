// Watches the desktop's windows on behalf of one process, on an X connection and a thread of its
// own: focus changes and new windows of that process, and the end of one window. Private to this
// folder; the window system hands it out as its accessibility observer.
#pragma once

#include <cstdint>
#include <memory>

#include "base/Executor.h"
#include "platform/WindowSystem.h"
#include "platform/x11/X11WindowSystem.h"
#include "platform/x11/XConnection.h"

namespace orvanta::platform::x11 {

// `atoms` must outlive the observer. Notifications reach `callback` on `executor`.
std::unique_ptr<AXObserver> makeWindowObserver(std::unique_ptr<XConnection> x, const X11WindowSystem::Atoms& atoms,
                                               std::int32_t pid, base::Executor& executor,
                                               AXObserver::Callback callback);

}  // namespace orvanta::platform::x11
