// Small secrets (device tokens, identifiers, the paired-device list) kept per service and account,
// with the item operations of a system keychain: load, save (update or add) and remove.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "base/Bytes.h"

namespace orvanta::base {

// A failed item operation. `status` is the store's numeric status code, shown to the user.
struct SecretStoreError {
    std::int32_t status = 0;
    bool operator==(const SecretStoreError&) const = default;

    // "Keychainを読み書きできませんでした（" + status in decimal + "）。"
    std::string description() const;
};

class SecretStore {
public:
    virtual ~SecretStore() = default;

    // The item's data, or nothing when there is no such item.
    virtual std::expected<std::optional<Bytes>, SecretStoreError> load(const std::string& service,
                                                                       const std::string& account) = 0;
    // Replaces the item's data, creating the item when there is none.
    virtual std::expected<void, SecretStoreError> save(const std::string& service, const std::string& account,
                                                       ByteView data) = 0;
    // Deletes the item; a missing item is not an error.
    virtual std::expected<void, SecretStoreError> remove(const std::string& service, const std::string& account) = 0;
};

}  // namespace orvanta::base
