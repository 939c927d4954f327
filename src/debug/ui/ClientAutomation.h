// The client automation in the application: the adapter that lets the sequence drive the real
// client model, the one window and its video surface, and the entry point that runs the sequence
// each time the client side's root view is shown.
#pragma once

#include <memory>

#include "client/ui/UnifiedWindow.h"
#include "client/ui/UnifiedWindowState.h"
#include "client/viewer/ClientModel.h"
#include "debug/DebugSupport.h"

namespace orvanta::debug {

// In a debug run, switches the window to the client side and runs `support` on `model` whenever the
// client side's root view becomes visible. Call once, after the window is made; the model and the
// window state must have been given `support` as their debug hand-off. Does nothing while the
// automation is inactive.
void installClientAutomation(const std::shared_ptr<DebugSupport>& support,
                             const std::shared_ptr<client::ClientModel>& model,
                             const std::shared_ptr<client::UnifiedWindowState>& windowState,
                             client::UnifiedWindow& window);

}  // namespace orvanta::debug
