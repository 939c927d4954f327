// The one-time copy of an earlier standalone client's settings (its saved hosts, selection,
// clipboard-sending setting and device name) into the standard settings.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "base/Settings.h"
#include "client/directory/HostListStore.h"

namespace orvanta::client::StandaloneClientImport {

inline constexpr std::string_view kSuiteName = "local.qen.Vistaplane2.Client";
inline constexpr std::string_view kMarkerKey = "tessaril.client.importedFromStandalone";
// Copied in this order.
inline constexpr std::array<std::string_view, 4> kKeys = {
    HostListStore::kEntriesKey,
    HostListStore::kSelectedKey,
    "tessaril.client.sendClipboard",
    "tessaril.client.deviceName",
};

// Nothing when the import already ran. Otherwise copies each key that `destination` holds no value
// for and `source` does, unchanged; never overwrites. Then marks the import done, also when there
// is no source, and returns how many keys it copied.
std::optional<int> run(base::Settings& destination, base::Settings* source);

}  // namespace orvanta::client::StandaloneClientImport
