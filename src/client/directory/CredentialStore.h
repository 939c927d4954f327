// The client's secrets: one device token per saved host and this device's own identifier, kept as
// items of the secret store by service and account.
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/SecretStore.h"
#include "base/Settings.h"

namespace orvanta::client {

// Item operations by account and service. A missing item is never an error: load gives nothing,
// remove succeeds and save creates it. Callable from any thread.
class CredentialStore {
public:
    // The default token service of a saved-host directory.
    static constexpr std::string_view kService = "Vistaplane2";
    // The desktop client's service: its device identifier and its host tokens.
    static constexpr std::string_view kMacClientService = "LumicrateClient";

    explicit CredentialStore(std::shared_ptr<base::SecretStore> store);

    std::expected<std::optional<base::Bytes>, base::SecretStoreError> load(const std::string& account,
                                                                           const std::string& service) const;
    std::expected<void, base::SecretStoreError> save(base::ByteView data, const std::string& account,
                                                     const std::string& service) const;
    std::expected<void, base::SecretStoreError> remove(const std::string& account, const std::string& service) const;

private:
    std::shared_ptr<base::SecretStore> store_;
};

// Per-account token storage of the saved-host directory.
class TokenVault {
public:
    virtual ~TokenVault() = default;
    virtual std::expected<std::optional<base::Bytes>, base::SecretStoreError> load(const std::string& account) = 0;
    virtual std::expected<void, base::SecretStoreError> save(base::ByteView data, const std::string& account) = 0;
    virtual std::expected<void, base::SecretStoreError> remove(const std::string& account) = 0;
};

// Tokens as credential-store items of one service.
class KeychainTokenVault final : public TokenVault {
public:
    KeychainTokenVault(CredentialStore store, std::string service);

    const std::string& service() const { return service_; }

    std::expected<std::optional<base::Bytes>, base::SecretStoreError> load(const std::string& account) override;
    std::expected<void, base::SecretStoreError> save(base::ByteView data, const std::string& account) override;
    std::expected<void, base::SecretStoreError> remove(const std::string& account) override;

private:
    CredentialStore store_;
    std::string service_;
};

namespace DeviceIdentity {

inline constexpr std::string_view kAccount = "device-id";
// How the desktop client asks for its identifier.
inline constexpr std::string_view kMacClientLegacyDefaultsKey = "tessaril.client.deviceId";
inline constexpr std::string_view kMacClientPrefix = "macos-";

// This device's stable identifier, kept under kAccount of `service`: the stored one; else the text
// under the legacy settings key, moved into the store (the key is removed only once the store has
// it); else `prefix` and a new upper-case UUID, stored, and kept under the legacy key instead when
// the store refuses it, so that the identifier stays stable. Store failures are never reported.
std::string persistentID(const CredentialStore& store, const std::string& service,
                         std::optional<std::string_view> legacyDefaultsKey, base::Settings& defaults,
                         std::string_view prefix);

}  // namespace DeviceIdentity

}  // namespace orvanta::client
