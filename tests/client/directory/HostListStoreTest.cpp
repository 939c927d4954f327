#include "client/directory/HostListStore.h"

#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "support/MemorySecretStore.h"
#include "support/MemorySettings.h"

namespace orvanta::client {
namespace {

using Entry = HostListStore::Entry;
using Kind = HostListStore::Kind;
using testing::MemorySecretStore;
using testing::MemorySettings;

constexpr std::int32_t kRefused = -25293;
const std::string kService(CredentialStore::kMacClientService);
const std::string kEntriesKey(HostListStore::kEntriesKey);
const std::string kSelectedKey(HostListStore::kSelectedKey);
const std::string kMigratedKey(HostListStore::kMigratedKey);
const std::string kLegacyAccount(HostListStore::kLegacyTokenAccount);

class HostListStoreTest : public ::testing::Test {
protected:
    std::unique_ptr<HostListStore> open(bool migratesLegacy = false) {
        auto store = std::make_unique<HostListStore>(defaults, vault, migratesLegacy);
        store->observe([this] { ++changes; });
        return store;
    }

    void storeList(std::string_view json) { defaults->set(kEntriesKey, base::toBytes(json)); }
    std::string storedList() const {
        return std::string(base::asText(defaults->data(kEntriesKey).value_or(base::Bytes{})));
    }

    std::optional<std::string> secret(const std::string& account) const {
        auto it = secrets->items.find({kService, account});
        if (it == secrets->items.end()) return std::nullopt;
        return std::string(base::asText(it->second));
    }
    void putSecret(const std::string& account, std::string_view value) {
        secrets->items[{kService, account}] = base::toBytes(value);
    }

    std::shared_ptr<MemorySettings> defaults = std::make_shared<MemorySettings>();
    std::shared_ptr<MemorySecretStore> secrets = std::make_shared<MemorySecretStore>();
    std::shared_ptr<TokenVault> vault = std::make_shared<KeychainTokenVault>(CredentialStore(secrets), kService);
    int changes = 0;
};

// Three hosts; the first two share the legacy token account.
constexpr std::string_view kThreeHosts =
    R"({"entries":[)"
    R"({"id":"A","displayName":"a","baseURL":"https://a.example:8443","hostId":"HA","kind":"mac","tokenAccount":"device-token"},)"
    R"({"id":"B","displayName":"b","baseURL":"http://b.local:8767","hostId":"HB","kind":"ios","tokenAccount":"device-token"},)"
    R"({"id":"C","displayName":"c","baseURL":"http://c.local:8767","hostId":"HC","kind":"windows","tokenAccount":"host-token.C"}]})";

TEST_F(HostListStoreTest, AddsNewHostsAtTheEndWithTheirOwnTokenAccount) {
    auto store = open();
    auto first = store->addOrUpdate("https://mac.tail1.ts.net:8443", "token-1", "HOST-1", Kind::mac);
    auto second = store->addOrUpdate("http://pc.local:8767", "token-2", "HOST-2", Kind::windows);
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);

    EXPECT_EQ(store->entries(), (std::vector<Entry>{*first, *second}));
    EXPECT_EQ(first->displayName, "mac");
    EXPECT_EQ(first->tokenAccount, "host-token." + first->id);
    EXPECT_EQ(first->id.size(), 36u);
    EXPECT_NE(first->id, second->id);
    EXPECT_EQ(store->selectedId(), second->id);
    EXPECT_EQ(defaults->string(kSelectedKey), second->id);
    EXPECT_EQ(secret(first->tokenAccount), "token-1");
    EXPECT_EQ(store->token(*second).value(), std::optional<std::string>("token-2"));
    EXPECT_EQ(changes, 2);

    auto reopened = open();
    EXPECT_EQ(reopened->entries(), store->entries());
    EXPECT_EQ(reopened->selected(), *second);
}

TEST_F(HostListStoreTest, UpdatesTheHostOfTheSameHostIdElseTheSameBaseURL) {
    auto store = open();
    auto a = *store->addOrUpdate("https://a.example:8443", "t1", "HA", Kind::mac);
    auto b = *store->addOrUpdate("http://b.local:8767", "t2", "HB", Kind::ios);
    store->setDisplayAspect(true, 1.5, a.id);
    store->setLastRole("controller", a.id);

    // Same hostId, new address: A keeps its place, id, token account and settings.
    auto moved = store->addOrUpdate("http://a2.local:8767", "t3", "HA", Kind::windows);
    ASSERT_TRUE(moved);
    Entry expected = a;
    expected.baseURL = "http://a2.local:8767";
    expected.displayName = "a2";
    expected.kind = Kind::windows;
    expected.lastRole = "controller";
    expected.displayAspectFit = true;
    expected.displayAspectScale = 1.5;
    EXPECT_EQ(*moved, expected);
    EXPECT_EQ(store->entries(), (std::vector<Entry>{expected, b}));
    EXPECT_EQ(store->selectedId(), a.id);
    EXPECT_EQ(secret(a.tokenAccount), "t3");

    // No hostId: matched by address, and the hostId is replaced by the empty one given.
    auto byAddress = store->addOrUpdate("http://b.local:8767", "t4", "", Kind::ios);
    ASSERT_TRUE(byAddress);
    EXPECT_EQ(byAddress->id, b.id);
    EXPECT_EQ(byAddress->hostId, "");
    EXPECT_EQ(secret(b.tokenAccount), "t4");

    // A hostId match wins over another entry's address.
    auto both = store->addOrUpdate("http://b.local:8767", "t5", "HA", Kind::mac);
    EXPECT_EQ(both->id, a.id);
    EXPECT_EQ(store->entries().size(), 2u);

    // Addresses compare exactly.
    auto other = store->addOrUpdate("http://B.local:8767", "t6", "", Kind::mac);
    EXPECT_EQ(store->entries().size(), 3u);
    EXPECT_EQ(store->entries().back().id, other->id);
}

TEST_F(HostListStoreTest, VaultFailureChangesNothing) {
    auto store = open();
    auto a = *store->addOrUpdate("https://a.example", "t1", "HA", Kind::mac);
    const auto entriesBefore = store->entries();
    const auto storedBefore = defaults->stored();
    const int changesBefore = changes;
    secrets->failSave = kRefused;

    for (auto [url, hostId] : {std::pair{"https://a.example", "HA"}, std::pair{"https://new.example", "HN"}}) {
        auto result = store->addOrUpdate(url, "t2", hostId, Kind::ios);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), HostListError(base::SecretStoreError{kRefused}));
        EXPECT_EQ(describe(result.error()), "Keychainを読み書きできませんでした（-25293）。");
    }
    EXPECT_EQ(store->entries(), entriesBefore);
    EXPECT_EQ(store->selectedId(), a.id);
    EXPECT_EQ(defaults->stored(), storedBefore);
    EXPECT_EQ(secret(a.tokenAccount), "t1");
    EXPECT_EQ(changes, changesBefore);
}

TEST_F(HostListStoreTest, RefusesAHostThatCannotBeStoredBeforeTouchingTheVault) {
    auto store = open();
    auto result = store->addOrUpdate("https://a.example/\xFF", "t", "HA", Kind::mac);
    ASSERT_FALSE(result);
    EXPECT_TRUE(std::holds_alternative<HostListEncodingError>(result.error()));
    EXPECT_EQ(secrets->saveCount, 0);
    EXPECT_TRUE(store->isEmpty());
    EXPECT_FALSE(defaults->contains(kEntriesKey));
}

TEST_F(HostListStoreTest, WritesMembersInTheirFixedOrderLeavingAbsentOnesOut) {
    auto store = open();
    auto a = *store->addOrUpdate("https://a.example/x", "t", "HA", Kind::ios);
    auto document = nlohmann::ordered_json::parse(storedList());
    std::vector<std::string> keys;
    for (const auto& [key, value] : document["entries"][0].items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "displayName", "baseURL", "hostId", "kind", "tokenAccount"}));

    store->setLastRole("main", a.id);
    store->setDisplayAspect(false, 2.0, a.id);
    EXPECT_EQ(storedList(), R"({"entries":[{"id":")" + a.id +
                                R"(","displayName":"a","baseURL":"https://a.example/x","hostId":"HA","kind":"ios",)"
                                R"("lastRole":"main","tokenAccount":"host-token.)" +
                                a.id + R"(","displayAspectFit":false,"displayAspectScale":2.0}]})");
}

TEST_F(HostListStoreTest, ReadsStoredListsWhollyOrNotAtAll) {
    struct Case {
        std::string_view json;
        bool readable;
    };
    const Case cases[] = {
        {R"({"entries":[{"id":"A","displayName":"a","baseURL":"u","hostId":"","kind":"mac","tokenAccount":"t"}]})",
         true},
        {R"({"x":1,"entries":[{"tokenAccount":"t","kind":"windows","hostId":"h","baseURL":"u","displayName":"","id":"A",)"
         R"("lastRole":null,"displayAspectFit":null,"displayAspectScale":3,"extra":[1]}]})",
         true},
        {R"({"entries":[]})", true},
        {R"({"entries":[{"id":"A","displayName":"a","baseURL":"u","hostId":"","kind":"android","tokenAccount":"t"}]})",
         false},
        {R"({"entries":[{"id":"A","displayName":"a","baseURL":"u","hostId":"","kind":"mac"}]})", false},
        {R"({"entries":[{"id":null,"displayName":"a","baseURL":"u","hostId":"","kind":"mac","tokenAccount":"t"}]})",
         false},
        {R"({"entries":[{"id":"A","displayName":"a","baseURL":"u","hostId":"","kind":"mac","tokenAccount":"t",)"
         R"("displayAspectFit":"yes"}]})",
         false},
        {R"({"entries":[{"id":"A","displayName":"a","baseURL":"u","hostId":"","kind":"mac","tokenAccount":"t"},7]})",
         false},
        {R"({"entries":{}})", false},
        {R"({})", false},
        {R"([])", false},
        {"not json", false},
    };
    for (const auto& c : cases) {
        storeList(c.json);
        auto store = open();
        EXPECT_EQ(store->isEmpty(), !c.readable || c.json == R"({"entries":[]})") << c.json;
        EXPECT_EQ(storedList(), c.json);
    }

    storeList(cases[1].json);
    auto store = open();
    const Entry& entry = store->entries().at(0);
    EXPECT_EQ(entry.kind, Kind::windows);
    EXPECT_EQ(entry.lastRole, std::nullopt);
    EXPECT_EQ(entry.displayAspectFit, std::nullopt);
    EXPECT_EQ(entry.displayAspectScale, 3.0);
}

TEST_F(HostListStoreTest, KeepsAnUnreadableListUntilTheListChanges) {
    const std::string corrupt = R"({"entries":[{"id":"A","kind":"android"}]})";
    storeList(corrupt);
    defaults->set("zq2.pairedBaseURL", "https://legacy.example:8443");
    putSecret(kLegacyAccount, "legacy-token");

    auto store = open(/*migratesLegacy=*/true);
    store->select("A");
    store->setDisplayAspect(true, 2.0, "A");
    store->setLastRole("main", "A");
    store->remove("A");
    EXPECT_EQ(store->removeReportingFailure("A"), false);
    EXPECT_TRUE(store->isEmpty());
    EXPECT_EQ(storedList(), corrupt);
    EXPECT_FALSE(defaults->contains(kMigratedKey));
    EXPECT_EQ(changes, 0);

    auto added = store->addOrUpdate("https://new.example", "t", "HN", Kind::mac);
    ASSERT_TRUE(added);
    EXPECT_EQ(open()->entries(), std::vector<Entry>{*added});
}

TEST_F(HostListStoreTest, SelectsTheFirstHostWhenTheStoredSelectionNamesNone) {
    storeList(kThreeHosts);
    defaults->set(kSelectedKey, "GONE");
    const int writes = defaults->writeCount();

    auto store = open();
    EXPECT_EQ(store->selectedId(), "A");
    EXPECT_EQ(defaults->writeCount(), writes);
    EXPECT_EQ(defaults->string(kSelectedKey), "GONE");

    store->select("NOPE");
    EXPECT_EQ(defaults->writeCount(), writes);
    store->select("C");
    EXPECT_EQ(store->selected()->hostId, "HC");
    EXPECT_EQ(defaults->string(kSelectedKey), "C");
    EXPECT_EQ(changes, 1);
}

TEST_F(HostListStoreTest, RemovesHostsAndMovesTheSelection) {
    storeList(kThreeHosts);
    defaults->set(kSelectedKey, "B");
    putSecret(kLegacyAccount, "shared");
    putSecret("host-token.C", "c");

    auto store = open();
    store->remove(store->entries()[1].id);  // an id that lives in the entry being removed
    EXPECT_EQ(store->selectedId(), "A");
    EXPECT_EQ(secret(kLegacyAccount), "shared");

    secrets->failRemove = kRefused;  // the silent form goes on regardless
    store->remove("C");
    EXPECT_EQ(store->entries().size(), 1u);
    EXPECT_EQ(secret("host-token.C"), "c");
    EXPECT_EQ(store->selectedId(), "A");

    secrets->failRemove.reset();
    store->remove("A");
    EXPECT_EQ(secret(kLegacyAccount), std::nullopt);
    EXPECT_TRUE(store->isEmpty());
    EXPECT_EQ(store->selectedId(), std::nullopt);
    EXPECT_FALSE(defaults->contains(kSelectedKey));
    EXPECT_EQ(storedList(), R"({"entries":[]})");
    EXPECT_EQ(changes, 3);
}

TEST_F(HostListStoreTest, RemoveReportingFailurePersistsFirstAndChangesNothingOnFailure) {
    storeList(kThreeHosts);
    defaults->set(kSelectedKey, "C");
    putSecret("host-token.C", "c");
    auto store = open();
    const auto before = store->entries();
    const auto storedBefore = defaults->stored();

    EXPECT_EQ(store->removeReportingFailure("NOPE"), false);

    secrets->failRemove = kRefused;
    auto failed = store->removeReportingFailure("C");
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), HostListError(base::SecretStoreError{kRefused}));
    EXPECT_EQ(store->entries(), before);
    EXPECT_EQ(store->selectedId(), "C");
    EXPECT_EQ(defaults->stored(), storedBefore);
    EXPECT_EQ(changes, 0);

    // A shared token account is not touched, so the broken vault does not matter here.
    EXPECT_EQ(store->removeReportingFailure("A"), true);
    EXPECT_EQ(store->selectedId(), "C");

    secrets->failRemove.reset();
    std::vector<std::string> seenSelections;
    store->observe([&] { seenSelections.push_back(defaults->string(kSelectedKey).value_or("<none>")); });
    EXPECT_EQ(store->removeReportingFailure("C"), true);
    EXPECT_EQ(secret("host-token.C"), std::nullopt);
    EXPECT_EQ(store->selectedId(), "B");
    EXPECT_EQ(seenSelections, std::vector<std::string>{"B"});  // stored before it was published
    EXPECT_EQ(open()->entries(), store->entries());
}

TEST_F(HostListStoreTest, RemoveAllForgetsEveryTokenAndBlocksTheLegacyMigration) {
    storeList(kThreeHosts);
    putSecret(kLegacyAccount, "legacy");
    putSecret("host-token.C", "c");
    putSecret("unrelated", "u");
    defaults->set("zq2.baseURL", "https://legacy.example");

    auto store = open();
    store->removeAll();
    EXPECT_TRUE(store->isEmpty());
    EXPECT_EQ(store->selectedId(), std::nullopt);
    EXPECT_EQ(storedList(), R"({"entries":[]})");
    EXPECT_FALSE(defaults->contains(kSelectedKey));
    EXPECT_EQ(defaults->boolean(kMigratedKey), true);
    EXPECT_EQ(secrets->items.size(), 1u);

    putSecret(kLegacyAccount, "legacy");
    EXPECT_TRUE(open(/*migratesLegacy=*/true)->isEmpty());
}

TEST_F(HostListStoreTest, EmptiesTheDirectoryOnEveryOpeningWhileTheResetFlagIsSet) {
    storeList(kThreeHosts);
    putSecret("host-token.C", "c");
    secrets->failRemove = kRefused;
    defaults->set(HostListStore::kUitestResetKey, true);
    EXPECT_TRUE(open()->isEmpty());
    EXPECT_EQ(defaults->boolean(HostListStore::kUitestResetKey), true);
    EXPECT_EQ(storedList(), R"({"entries":[]})");
}

TEST_F(HostListStoreTest, MigratesTheLegacySingleHostOnce) {
    defaults->set("zq2.pairedBaseURL", "https://mac.tail1.ts.net:8443");
    defaults->set("zq2.baseURL", "https://other.example");
    defaults->set("zq2.hostId", "LEGACY-HOST");
    defaults->set("lumicrate.lastRole", "controller");
    putSecret(kLegacyAccount, "legacy-token");

    auto store = open(/*migratesLegacy=*/true);
    ASSERT_EQ(store->entries().size(), 1u);
    const Entry& entry = store->entries()[0];
    EXPECT_EQ(entry, (Entry{entry.id, "mac", "https://mac.tail1.ts.net:8443", "LEGACY-HOST", Kind::mac, "controller",
                            kLegacyAccount, std::nullopt, std::nullopt}));
    EXPECT_EQ(store->selectedId(), entry.id);
    EXPECT_EQ(store->token(entry).value(), std::optional<std::string>("legacy-token"));
    EXPECT_FALSE(defaults->contains("lumicrate.lastRole"));
    EXPECT_TRUE(defaults->contains("zq2.pairedBaseURL"));
    EXPECT_TRUE(defaults->contains("zq2.hostId"));
    EXPECT_EQ(defaults->boolean(kMigratedKey), true);

    store->removeAll();
    EXPECT_TRUE(open(/*migratesLegacy=*/true)->isEmpty());
}

TEST_F(HostListStoreTest, MigrationRules) {
    struct Case {
        std::string name;
        std::optional<std::string> pairedURL;
        std::optional<std::string> baseURL;
        std::optional<std::string> token;
        bool loadFails;
        std::optional<std::string> migratedURL;
        bool marked;
    };
    const Case cases[] = {
        {"falls back to the second key", std::nullopt, "https://b.example", "t", false, "https://b.example", true},
        {"an empty first key does not fall back", "", "https://b.example", "t", false, std::nullopt, true},
        {"no address", std::nullopt, std::nullopt, "t", false, std::nullopt, true},
        {"empty token", "https://a.example", std::nullopt, "", false, std::nullopt, true},
        {"no token", "https://a.example", std::nullopt, std::nullopt, false, std::nullopt, true},
        {"vault failure waits for the next opening", "https://a.example", std::nullopt, "t", true, std::nullopt, false},
    };
    for (const auto& c : cases) {
        defaults = std::make_shared<MemorySettings>();
        secrets->items.clear();
        secrets->failLoad.reset();
        if (c.pairedURL) defaults->set("zq2.pairedBaseURL", *c.pairedURL);
        if (c.baseURL) defaults->set("zq2.baseURL", *c.baseURL);
        if (c.token) putSecret(kLegacyAccount, *c.token);
        if (c.loadFails) secrets->failLoad = kRefused;

        auto store = open(/*migratesLegacy=*/true);
        std::optional<std::string> migrated;
        if (!store->isEmpty()) migrated = store->entries()[0].baseURL;
        EXPECT_EQ(migrated, c.migratedURL) << c.name;
        EXPECT_EQ(store->entries().empty() ? "" : store->entries()[0].hostId, "") << c.name;
        EXPECT_EQ(defaults->contains(kMigratedKey), c.marked) << c.name;
    }
}

TEST_F(HostListStoreTest, MigrationLeavesAnExistingListAndItsMarkerAlone) {
    storeList(kThreeHosts);
    defaults->set("zq2.pairedBaseURL", "https://legacy.example");
    putSecret(kLegacyAccount, "t");
    EXPECT_EQ(open(/*migratesLegacy=*/true)->entries().size(), 3u);
    EXPECT_FALSE(defaults->contains(kMigratedKey));

    defaults = std::make_shared<MemorySettings>();
    defaults->set("zq2.pairedBaseURL", "https://legacy.example");
    EXPECT_TRUE(open(/*migratesLegacy=*/false)->isEmpty());
    defaults->set(kMigratedKey, true);
    EXPECT_TRUE(open(/*migratesLegacy=*/true)->isEmpty());
}

TEST_F(HostListStoreTest, ReadsOnlyNonEmptyUtf8Tokens) {
    Entry entry{"A", "a", "u", "", Kind::mac, std::nullopt, "host-token.A", std::nullopt, std::nullopt};
    auto store = open();
    EXPECT_EQ(store->token(entry).value(), std::optional<std::string>());
    putSecret("host-token.A", "");
    EXPECT_EQ(store->token(entry).value(), std::optional<std::string>());
    secrets->items[{kService, "host-token.A"}] = base::Bytes{0xC3};
    EXPECT_EQ(store->token(entry).value(), std::optional<std::string>());
    putSecret("host-token.A", "tök");
    EXPECT_EQ(store->token(entry).value(), std::optional<std::string>("tök"));
    secrets->failLoad = kRefused;
    EXPECT_EQ(store->token(entry).error(), base::SecretStoreError{kRefused});
}

TEST_F(HostListStoreTest, StoresDisplayAspectAndRoleOnlyWhenTheyChange) {
    storeList(kThreeHosts);
    auto store = open();
    const int writes = defaults->writeCount();

    store->setDisplayAspect(std::nullopt, std::nullopt, "A");
    store->setDisplayAspect(true, 1.25, std::nullopt);
    store->setDisplayAspect(true, 1.25, "NOPE");
    store->setLastRole("main", std::nullopt);
    store->setLastRole("main", "NOPE");
    EXPECT_EQ(defaults->writeCount(), writes);
    EXPECT_EQ(changes, 0);

    store->setDisplayAspect(true, std::nullopt, "A");
    store->setDisplayAspect(std::nullopt, 1.25, "A");
    store->setDisplayAspect(true, 1.25, "A");
    store->setDisplayAspect(std::nullopt, std::nan(""), "A");
    store->setDisplayAspect(std::nullopt, INFINITY, "A");
    store->setLastRole("main", "A");
    store->setLastRole("main", "A");
    EXPECT_EQ(changes, 3);

    auto reopened = open();
    EXPECT_EQ(reopened->entries()[0].displayAspectFit, true);
    EXPECT_EQ(reopened->entries()[0].displayAspectScale, 1.25);
    EXPECT_EQ(reopened->lastRole("A"), "main");
    EXPECT_EQ(reopened->lastRole("B"), std::nullopt);
    EXPECT_EQ(reopened->lastRole("NOPE"), std::nullopt);
    EXPECT_EQ(reopened->lastRole(std::nullopt), std::nullopt);
}

TEST_F(HostListStoreTest, ObserversCanLeaveDuringANotification) {
    auto store = open();
    std::vector<std::string> calls;
    HostListStore::ObserverId second = 0;
    HostListStore::ObserverId first = store->observe([&] {
        calls.push_back("first");
        store->removeObserver(first);
        store->removeObserver(second);
    });
    second = store->observe([&] { calls.push_back("second"); });
    ASSERT_TRUE(store->addOrUpdate("https://a.example", "t", "HA", Kind::mac));
    ASSERT_TRUE(store->addOrUpdate("https://b.example", "t", "HB", Kind::mac));
    EXPECT_EQ(calls, std::vector<std::string>{"first"});
    EXPECT_EQ(changes, 2);
}

TEST(HostListStoreNames, DisplayNameOfABaseURL) {
    struct Case {
        std::string_view url;
        std::string_view name;
    };
    const Case cases[] = {
        {"https://mac.tail1234.ts.net:8443", "mac"},
        {"  http://Studio.local:8767/\n", "Studio"},
        {"http://studio:8767", "studio"},
        {"http://.studio..local", "studio"},
        {"http://192.168.1.20:8767", "192.168.1.20"},
        {"http://[fe80::1]:8767", "[fe80::1]"},
        {"http://my%20mac.local", "my mac"},
        {"mac.local", "mac.local"},
        {"mac.local:8767", "mac.local:8767"},
        {" not a url ", "not a url"},
        {"file:///x", "file:///x"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(HostListStore::displayName(c.url), c.name) << c.url;
}

TEST(HostListStoreNames, KindsInDeclarationOrderWithRawValuesAndLabels) {
    const std::tuple<Kind, std::string_view, std::string_view> expected[] = {
        {Kind::mac, "mac", "Mac"}, {Kind::windows, "windows", "Windows"}, {Kind::ios, "ios", "iPad\uFF0FiPhone"}};
    for (std::size_t i = 0; i < HostListStore::kAllKinds.size(); ++i) {
        auto [kind, raw, label] = expected[i];
        EXPECT_EQ(HostListStore::kAllKinds[i], kind);
        EXPECT_EQ(HostListStore::rawValue(kind), raw);
        EXPECT_EQ(HostListStore::label(kind), label);
        EXPECT_EQ(HostListStore::kindFromRawValue(raw), kind);
    }
    EXPECT_EQ(HostListStore::kindFromRawValue("Mac"), std::nullopt);
    EXPECT_EQ(HostListStore::kindFromRawValue("android"), std::nullopt);
}

}  // namespace
}  // namespace orvanta::client
