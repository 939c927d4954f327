#include "base/SecretStore.h"

namespace orvanta::base {

std::string SecretStoreError::description() const {
    return "Keychainを読み書きできませんでした（" + std::to_string(status) + "）。";
}

}  // namespace orvanta::base
