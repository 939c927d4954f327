#include "client/directory/CredentialStore.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "support/MemorySecretStore.h"
#include "support/MemorySettings.h"

namespace orvanta::client {
namespace {

using testing::MemorySecretStore;
using testing::MemorySettings;

constexpr std::int32_t kRefused = -25293;
const std::string kService(CredentialStore::kMacClientService);
const std::string kLegacyKey(DeviceIdentity::kMacClientLegacyDefaultsKey);
const std::string kDeviceIdAccount(DeviceIdentity::kAccount);

TEST(CredentialStore, TreatsMissingItemsAsNoErrorAndKeepsTheLastSave) {
    auto secrets = std::make_shared<MemorySecretStore>();
    CredentialStore store(secrets);

    EXPECT_EQ(store.load("host-token.X", kService).value(), std::optional<base::Bytes>{});
    EXPECT_TRUE(store.remove("host-token.X", kService));

    ASSERT_TRUE(store.save(base::asBytes("one"), "host-token.X", kService));
    ASSERT_TRUE(store.save(base::asBytes("two"), "host-token.X", kService));
    EXPECT_EQ(secrets->items.size(), 1u);
    EXPECT_EQ(store.load("host-token.X", kService).value(), std::optional(base::toBytes("two")));
    EXPECT_EQ(store.load("host-token.X", "Vistaplane2").value(), std::optional<base::Bytes>{});
}

TEST(CredentialStore, ReportsStoreFailuresWithTheirStatus) {
    auto secrets = std::make_shared<MemorySecretStore>();
    secrets->failLoad = kRefused;
    secrets->failSave = kRefused;
    secrets->failRemove = kRefused;
    KeychainTokenVault vault(CredentialStore(secrets), "Vistaplane2");

    EXPECT_EQ(vault.load("a").error(), base::SecretStoreError{kRefused});
    EXPECT_EQ(vault.save(base::asBytes("t"), "a").error(), base::SecretStoreError{kRefused});
    EXPECT_EQ(vault.remove("a").error(), base::SecretStoreError{kRefused});
    EXPECT_EQ(vault.load("a").error().description(), "Keychainを読み書きできませんでした（-25293）。");
}

TEST(KeychainTokenVault, KeepsTokensUnderItsOwnService) {
    auto secrets = std::make_shared<MemorySecretStore>();
    KeychainTokenVault vault(CredentialStore(secrets), kService);
    ASSERT_TRUE(vault.save(base::asBytes("token"), "host-token.A"));
    EXPECT_EQ(secrets->items.count({kService, "host-token.A"}), 1u);
    EXPECT_EQ(vault.load("host-token.A").value(), std::optional(base::toBytes("token")));
    ASSERT_TRUE(vault.remove("host-token.A"));
    EXPECT_TRUE(secrets->items.empty());
}

class PersistentIdTest : public ::testing::Test {
protected:
    std::string persistentID(std::optional<std::string_view> legacyKey = kLegacyKey) {
        return DeviceIdentity::persistentID(CredentialStore(secrets), kService, legacyKey, defaults,
                                            DeviceIdentity::kMacClientPrefix);
    }
    std::optional<std::string> storedId() const {
        auto it = secrets->items.find({kService, kDeviceIdAccount});
        if (it == secrets->items.end()) return std::nullopt;
        return std::string(base::asText(it->second));
    }
    static bool isFreshId(const std::string& id) {
        static const std::regex form("macos-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
        return std::regex_match(id, form);
    }

    std::shared_ptr<MemorySecretStore> secrets = std::make_shared<MemorySecretStore>();
    MemorySettings defaults;
};

TEST_F(PersistentIdTest, ReturnsTheStoredIdentifier) {
    secrets->items[{kService, kDeviceIdAccount}] = base::toBytes("macos-STORED");
    defaults.set(kLegacyKey, "legacy");
    EXPECT_EQ(persistentID(), "macos-STORED");
    EXPECT_EQ(defaults.string(kLegacyKey), "legacy");
}

TEST_F(PersistentIdTest, ReplacesAStoredValueThatIsEmptyOrNotUtf8) {
    for (const base::Bytes& bad : {base::Bytes{}, base::Bytes{0xFF, 0xFE}}) {
        secrets->items[{kService, kDeviceIdAccount}] = bad;
        std::string id = persistentID(std::nullopt);
        EXPECT_TRUE(isFreshId(id)) << id;
        EXPECT_EQ(storedId(), id);
    }
}

TEST_F(PersistentIdTest, MovesTheLegacyIdentifierIntoTheStore) {
    defaults.set(kLegacyKey, "legacy-id");
    EXPECT_EQ(persistentID(), "legacy-id");
    EXPECT_EQ(storedId(), "legacy-id");
    EXPECT_FALSE(defaults.contains(kLegacyKey));
    EXPECT_EQ(persistentID(), "legacy-id");
}

TEST_F(PersistentIdTest, KeepsTheLegacyIdentifierWhileTheStoreRefusesIt) {
    defaults.set(kLegacyKey, "legacy-id");
    secrets->failSave = kRefused;
    EXPECT_EQ(persistentID(), "legacy-id");
    EXPECT_EQ(defaults.string(kLegacyKey), "legacy-id");
    secrets->failSave.reset();
    EXPECT_EQ(persistentID(), "legacy-id");
    EXPECT_FALSE(defaults.contains(kLegacyKey));
}

TEST_F(PersistentIdTest, MakesANewIdentifierWhenTheLegacyOneIsEmpty) {
    defaults.set(kLegacyKey, "");
    std::string id = persistentID();
    EXPECT_TRUE(isFreshId(id)) << id;
    EXPECT_EQ(storedId(), id);
    EXPECT_EQ(defaults.string(kLegacyKey), "");
    EXPECT_EQ(persistentID(), id);
}

TEST_F(PersistentIdTest, StaysStableThroughTheLegacyKeyWhenTheStoreIsBroken) {
    defaults.set(kLegacyKey, "");
    secrets->failLoad = kRefused;
    secrets->failSave = kRefused;
    std::string id = persistentID();
    EXPECT_TRUE(isFreshId(id)) << id;
    EXPECT_EQ(defaults.string(kLegacyKey), id);
    EXPECT_EQ(persistentID(), id);
}

TEST_F(PersistentIdTest, MakesAnIdentifierPerCallWithoutStoreOrLegacyKey) {
    secrets->failSave = kRefused;
    std::set<std::string> ids;
    for (int i = 0; i < 3; ++i) ids.insert(persistentID(std::nullopt));
    EXPECT_EQ(ids.size(), 3u);
    EXPECT_TRUE(defaults.stored().empty());
}

}  // namespace
}  // namespace orvanta::client
