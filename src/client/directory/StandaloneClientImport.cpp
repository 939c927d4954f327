#include "client/directory/StandaloneClientImport.h"

namespace orvanta::client::StandaloneClientImport {

std::optional<int> run(base::Settings& destination, base::Settings* source) {
    if (destination.boolean(kMarkerKey).value_or(false)) return std::nullopt;
    int copied = 0;
    for (std::string_view key : kKeys) {
        if (!source || destination.contains(key)) continue;
        if (auto value = source->value(key)) {
            destination.set(key, std::move(*value));
            ++copied;
        }
    }
    destination.set(kMarkerKey, true);
    return copied;
}

}  // namespace orvanta::client::StandaloneClientImport
