// The host's items in the secret store, all under one service: the paired-device list and the
// host identifier.
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/SecretStore.h"

namespace orvanta::host {

class CredentialStore {
public:
    static constexpr std::string_view kService = "Vistaplane2";

    explicit CredentialStore(std::shared_ptr<base::SecretStore> store);

    // The item's data, or nothing when there is no such item.
    std::expected<std::optional<base::Bytes>, base::SecretStoreError> load(const std::string& account) const;
    // Stores the data, creating the item when needed.
    std::expected<void, base::SecretStoreError> save(base::ByteView data, const std::string& account) const;

private:
    std::shared_ptr<base::SecretStore> store_;
};

}  // namespace orvanta::host
