// An in-memory SecretStore for tests; each operation can be made to fail with a chosen status.
#pragma once

#include <map>
#include <mutex>
#include <utility>

#include "base/SecretStore.h"

namespace orvanta::testing {

class MemorySecretStore final : public base::SecretStore {
public:
    using Key = std::pair<std::string, std::string>;  // service, account

    std::expected<std::optional<base::Bytes>, base::SecretStoreError> load(const std::string& service,
                                                                           const std::string& account) override {
        std::lock_guard lock(mutex_);
        if (failLoad) return std::unexpected(base::SecretStoreError{*failLoad});
        auto it = items.find({service, account});
        if (it == items.end()) return std::optional<base::Bytes>{};
        return std::optional<base::Bytes>{it->second};
    }

    std::expected<void, base::SecretStoreError> save(const std::string& service, const std::string& account,
                                                     base::ByteView data) override {
        std::lock_guard lock(mutex_);
        if (failSave) return std::unexpected(base::SecretStoreError{*failSave});
        items[{service, account}] = base::Bytes(data.begin(), data.end());
        ++saveCount;
        return {};
    }

    std::expected<void, base::SecretStoreError> remove(const std::string& service,
                                                       const std::string& account) override {
        std::lock_guard lock(mutex_);
        if (failRemove) return std::unexpected(base::SecretStoreError{*failRemove});
        items.erase({service, account});
        return {};
    }

    // Test controls; set them before the code under test runs.
    std::map<Key, base::Bytes> items;
    std::optional<std::int32_t> failLoad;
    std::optional<std::int32_t> failSave;
    std::optional<std::int32_t> failRemove;
    int saveCount = 0;

private:
    std::mutex mutex_;
};

}  // namespace orvanta::testing
