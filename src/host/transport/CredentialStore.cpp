#include "host/transport/CredentialStore.h"

#include <utility>

namespace orvanta::host {

CredentialStore::CredentialStore(std::shared_ptr<base::SecretStore> store) : store_(std::move(store)) {}

std::expected<std::optional<base::Bytes>, base::SecretStoreError> CredentialStore::load(
    const std::string& account) const {
    return store_->load(std::string(kService), account);
}

std::expected<void, base::SecretStoreError> CredentialStore::save(base::ByteView data,
                                                                  const std::string& account) const {
    return store_->save(std::string(kService), account, data);
}

}  // namespace orvanta::host
