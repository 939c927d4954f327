#include "client/directory/CredentialStore.h"

#include "base/Utf8.h"
#include "base/Uuid.h"

namespace orvanta::client {

CredentialStore::CredentialStore(std::shared_ptr<base::SecretStore> store) : store_(std::move(store)) {}

std::expected<std::optional<base::Bytes>, base::SecretStoreError> CredentialStore::load(
    const std::string& account, const std::string& service) const {
    return store_->load(service, account);
}

std::expected<void, base::SecretStoreError> CredentialStore::save(base::ByteView data, const std::string& account,
                                                                  const std::string& service) const {
    return store_->save(service, account, data);
}

std::expected<void, base::SecretStoreError> CredentialStore::remove(const std::string& account,
                                                                    const std::string& service) const {
    return store_->remove(service, account);
}

KeychainTokenVault::KeychainTokenVault(CredentialStore store, std::string service)
    : store_(std::move(store)), service_(std::move(service)) {}

std::expected<std::optional<base::Bytes>, base::SecretStoreError> KeychainTokenVault::load(const std::string& account) {
    return store_.load(account, service_);
}

std::expected<void, base::SecretStoreError> KeychainTokenVault::save(base::ByteView data, const std::string& account) {
    return store_.save(data, account, service_);
}

std::expected<void, base::SecretStoreError> KeychainTokenVault::remove(const std::string& account) {
    return store_.remove(account, service_);
}

namespace DeviceIdentity {

std::string persistentID(const CredentialStore& store, const std::string& service,
                         std::optional<std::string_view> legacyDefaultsKey, base::Settings& defaults,
                         std::string_view prefix) {
    const std::string account(kAccount);
    if (auto stored = store.load(account, service); stored && *stored) {
        std::string text(base::asText(**stored));
        if (!text.empty() && base::isValidUtf8(text)) return text;
    }
    if (legacyDefaultsKey) {
        if (auto legacy = defaults.string(*legacyDefaultsKey); legacy && !legacy->empty()) {
            if (store.save(base::asBytes(*legacy), account, service)) defaults.remove(*legacyDefaultsKey);
            return *legacy;
        }
    }
    std::string fresh = std::string(prefix) + base::makeUuidString();
    if (!store.save(base::asBytes(fresh), account, service) && legacyDefaultsKey) {
        defaults.set(*legacyDefaultsKey, fresh);
    }
    return fresh;
}

}  // namespace DeviceIdentity

}  // namespace orvanta::client
