#include "host/transport/DeviceRegistry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "base/Base64.h"
#include "base/FileSecretStore.h"
#include "host/transport/HostSettingsModel.h"
#include "support/MemorySecretStore.h"

namespace orvanta::host {
namespace {

using namespace std::chrono;
using testing::MemorySecretStore;

constexpr std::string_view kService = "Vistaplane2";
constexpr std::int32_t kFailure = -34;

class DeviceRegistryTest : public ::testing::Test {
protected:
    std::unique_ptr<DeviceRegistry> makeRegistry() {
        return std::make_unique<DeviceRegistry>(store_, [this] { return now_; });
    }

    void putItem(std::string_view account, std::string_view text) {
        store_->items[{std::string(kService), std::string(account)}] = base::toBytes(text);
    }
    std::optional<std::string> item(std::string_view account) const {
        auto it = store_->items.find({std::string(kService), std::string(account)});
        if (it == store_->items.end()) return std::nullopt;
        return std::string(base::asText(it->second));
    }

    std::shared_ptr<MemorySecretStore> store_ = std::make_shared<MemorySecretStore>();
    system_clock::time_point now_ = sys_days(2026y / December / 9) + 9h + 1min + 15s + 700ms;
};

TEST_F(DeviceRegistryTest, MakesAndStoresAHostIdOnce) {
    auto first = makeRegistry();
    EXPECT_TRUE(first->devices().empty());
    EXPECT_EQ(first->lastError(), std::nullopt);
    EXPECT_EQ(first->hostId().size(), 36u);
    EXPECT_EQ(item("host-id"), first->hostId());
    EXPECT_EQ(item("devices"), std::nullopt);
    EXPECT_EQ(makeRegistry()->hostId(), first->hostId());
}

TEST_F(DeviceRegistryTest, ReplacesAHostIdThatIsEmptyOrNotText) {
    for (std::string_view stored : {std::string_view(""), std::string_view("\xff\xfe", 2)}) {
        putItem("host-id", stored);
        auto registry = makeRegistry();
        EXPECT_EQ(registry->hostId().size(), 36u);
        EXPECT_EQ(item("host-id"), registry->hostId());
        EXPECT_EQ(registry->lastError(), std::nullopt);
    }
}

TEST_F(DeviceRegistryTest, PairsADeviceWithAnUnpaddedUrlSafeToken) {
    auto registry = makeRegistry();
    auto token = registry->registerDevice("ipad-1", "Aki の iPad");
    ASSERT_TRUE(token.has_value());
    EXPECT_EQ(token->size(), 43u);
    EXPECT_EQ(token->find_first_of("=+/"), std::string::npos);
    EXPECT_EQ(base::base64UrlDecode(*token).value_or(base::Bytes{}).size(), 32u);

    const DeviceRecord expected{
        "ipad-1",     "Aki の iPad", DeviceRegistry::hash(*token), sys_days(2026y / December / 9) + 9h + 1min + 15s,
        std::nullopt, std::nullopt};
    EXPECT_EQ(registry->devices(), std::vector<DeviceRecord>{expected});
    EXPECT_EQ(item("devices"),
              "[{\"deviceId\":\"ipad-1\",\"name\":\"Aki の iPad\",\"pairedAt\":\"2026-12-09T09:01:15Z\","
              "\"tokenHash\":\"" +
                  expected.tokenHash + "\"}]");
    EXPECT_EQ(registry->authenticate(*token, "ipad-1"), expected);
    EXPECT_EQ(makeRegistry()->devices(), registry->devices());
}

TEST_F(DeviceRegistryTest, RepairingKeepsOneRecordAtTheEndAndOnlyTheNewToken) {
    auto registry = makeRegistry();
    auto oldToken = registry->registerDevice("a", "A");
    auto otherToken = registry->registerDevice("b", "B");
    now_ += 1h;
    auto newToken = registry->registerDevice("a", "A2");
    ASSERT_TRUE(oldToken && otherToken && newToken);
    ASSERT_EQ(registry->devices().size(), 2u);
    EXPECT_EQ(registry->devices()[0].deviceId, "b");
    EXPECT_EQ(registry->devices()[1].name, "A2");
    EXPECT_EQ(registry->devices()[1].pairedAt, sys_days(2026y / December / 9) + 10h + 1min + 15s);
    EXPECT_EQ(registry->authenticate(*oldToken, "a"), std::nullopt);
    EXPECT_TRUE(registry->authenticate(*newToken, "a").has_value());
    EXPECT_TRUE(registry->authenticate(*otherToken, "b").has_value());
}

TEST_F(DeviceRegistryTest, AuthenticatesOnlyTheTokenWithItsOwnDevice) {
    auto registry = makeRegistry();
    auto token = registry->registerDevice("a", "A");
    ASSERT_TRUE(token && registry->registerDevice("b", "B"));
    struct Case {
        std::string token;
        std::string deviceId;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {*token, "a", true},     {*token, "b", false}, {*token, "A", false}, {*token + "x", "a", false},
        {"unknown", "a", false}, {"", "a", false},     {*token, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.token + " / " + c.deviceId);
        EXPECT_EQ(registry->authenticate(c.token, c.deviceId).has_value(), c.accepted);
    }
}

TEST_F(DeviceRegistryTest, TouchRecordsWhenAndWhatKindOfDeviceWasSeen) {
    auto registry = makeRegistry();
    ASSERT_TRUE(registry->registerDevice("a", "A") && registry->registerDevice("b", "B"));
    const int saves = store_->saveCount;
    registry->touch("unknown", DeviceKind::mac);
    EXPECT_EQ(store_->saveCount, saves);

    now_ += 30s;
    registry->touch("a", DeviceKind::android);
    const auto firstSeen = sys_days(2026y / December / 9) + 9h + 1min + 45s;
    EXPECT_EQ(registry->devices()[0].lastSeen, firstSeen);
    EXPECT_EQ(registry->devices()[0].kind, "android");
    EXPECT_EQ(registry->devices()[1].lastSeen, std::nullopt);

    now_ += 60s;
    registry->touch("a", std::nullopt);
    EXPECT_EQ(registry->devices()[0].lastSeen, firstSeen + 60s);
    EXPECT_EQ(registry->devices()[0].kind, "android");
    EXPECT_NE(item("devices")->find("\"kind\":\"android\",\"lastSeen\":\"2026-12-09T09:02:45Z\""), std::string::npos);
    EXPECT_EQ(makeRegistry()->devices(), registry->devices());
}

TEST_F(DeviceRegistryTest, FailedSavesLeaveTheListAsItWas) {
    auto registry = makeRegistry();
    auto token = registry->registerDevice("a", "A");
    ASSERT_TRUE(token);
    const auto before = registry->devices();
    store_->failSave = kFailure;

    auto registered = registry->registerDevice("b", "B");
    ASSERT_FALSE(registered.has_value());
    EXPECT_EQ(describe(registered.error()), "Keychainを読み書きできませんでした（-34）。");
    auto revoked = registry->revoke("a");
    ASSERT_FALSE(revoked.has_value());
    EXPECT_EQ(revoked.error(), DeviceRegistryError(base::SecretStoreError{kFailure}));
    registry->touch("a", DeviceKind::iPad);
    EXPECT_EQ(registry->devices(), before);
    EXPECT_TRUE(registry->authenticate(*token, "a").has_value());
}

TEST_F(DeviceRegistryTest, RevokeForgetsTheDeviceAndAlwaysRewritesTheList) {
    auto registry = makeRegistry();
    auto token = registry->registerDevice("a", "A");
    ASSERT_TRUE(token && registry->registerDevice("b", "B"));
    const int saves = store_->saveCount;
    ASSERT_TRUE(registry->revoke("unknown"));
    EXPECT_EQ(store_->saveCount, saves + 1);
    EXPECT_EQ(registry->devices().size(), 2u);
    ASSERT_TRUE(registry->revoke("a"));
    ASSERT_EQ(registry->devices().size(), 1u);
    EXPECT_EQ(registry->devices()[0].deviceId, "b");
    EXPECT_EQ(registry->authenticate(*token, "a"), std::nullopt);
    EXPECT_EQ(makeRegistry()->devices(), registry->devices());
}

TEST_F(DeviceRegistryTest, ReadsRecordsWithoutTheOptionalFields) {
    putItem("devices", R"([{"deviceId":"a","name":"A","tokenHash":"00","pairedAt":"2026-01-02T03:04:05Z","extra":1},)"
                       R"({"deviceId":"b","name":"","tokenHash":"11","pairedAt":"2026-01-02T12:04:05+09:00",)"
                       R"("lastSeen":"2026-02-01T00:00:00Z","kind":"windows"}])");
    auto registry = makeRegistry();
    EXPECT_EQ(registry->lastError(), std::nullopt);
    const std::vector<DeviceRecord> expected = {
        {"a", "A", "00", sys_days(2026y / January / 2) + 3h + 4min + 5s, std::nullopt, std::nullopt},
        {"b", "", "11", sys_days(2026y / January / 2) + 3h + 4min + 5s, sys_days(2026y / February / 1), "windows"},
    };
    EXPECT_EQ(registry->devices(), expected);
}

// A list that cannot be read must not be overwritten by one that lacks the devices it held.
TEST_F(DeviceRegistryTest, RefusesToWriteTheListAfterItFailedToLoad) {
    const std::string stored = R"([{"deviceId":"a","name":"A","tokenHash":"00","pairedAt":"2026-01-02T03:04:05Z"}])";
    struct Case {
        const char* what;
        std::optional<std::string> devices;
        bool storeFails;
    };
    const std::vector<Case> cases = {
        {"not JSON", std::string("[{\"deviceId\":"), false},
        {"missing field", std::string(R"([{"deviceId":"a","name":"A","pairedAt":"2026-01-02T03:04:05Z"}])"), false},
        {"bad date", std::string(R"([{"deviceId":"a","name":"A","tokenHash":"0","pairedAt":"yesterday"}])"), false},
        {"not a list", std::string(R"({"deviceId":"a"})"), false},
        {"store failure", stored, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        store_ = std::make_shared<MemorySecretStore>();
        putItem("host-id", "STORED-ID");
        putItem("devices", *c.devices);
        if (c.storeFails) store_->failLoad = kFailure;

        auto registry = makeRegistry();
        ASSERT_TRUE(registry->lastError().has_value());
        EXPECT_TRUE(registry->devices().empty());
        EXPECT_EQ(registry->hostId().size(), 36u);  // this run's own, never stored
        EXPECT_EQ(item("host-id"), "STORED-ID");

        const int saves = store_->saveCount;
        EXPECT_FALSE(registry->registerDevice("b", "B").has_value());
        EXPECT_FALSE(registry->revoke("a").has_value());
        registry->touch("a", DeviceKind::mac);
        EXPECT_EQ(store_->saveCount, saves);
        EXPECT_EQ(item("devices"), c.devices);

        // Once the list reads again, writes go through and keep what was stored.
        store_->failLoad.reset();
        putItem("devices", stored);
        registry->load();
        EXPECT_EQ(registry->lastError(), std::nullopt);
        EXPECT_EQ(registry->hostId(), "STORED-ID");
        ASSERT_TRUE(registry->registerDevice("b", "B").has_value());
        ASSERT_EQ(registry->devices().size(), 2u);
        EXPECT_EQ(registry->devices()[0].deviceId, "a");
    }
}

TEST_F(DeviceRegistryTest, ALaterFailedLoadKeepsTheListInMemoryButBlocksWrites) {
    auto registry = makeRegistry();
    auto token = registry->registerDevice("a", "A");
    ASSERT_TRUE(token);
    putItem("devices", "garbage");
    registry->load();
    EXPECT_TRUE(registry->lastError().has_value());
    EXPECT_TRUE(registry->authenticate(*token, "a").has_value());
    EXPECT_FALSE(registry->revoke("a").has_value());
    EXPECT_EQ(item("devices"), "garbage");
}

TEST(StoredDate, ParsesInternetDateTimesOnly) {
    const auto base = sys_days(2026y / December / 9) + 9h + 1min + 15s;
    struct Case {
        const char* text;
        std::optional<sys_seconds> date;
    };
    const std::vector<Case> cases = {
        {"2026-12-09T09:01:15Z", base},
        {"2026-12-09T18:01:15+09:00", base},
        {"2026-12-09T04:31:15-04:30", base},
        {"2026-02-29T00:00:00Z", std::nullopt},
        {"2026-12-09T24:00:00Z", std::nullopt},
        {"2026-12-09T09:01:15", std::nullopt},
        {"2026-12-09T09:01:15.5Z", std::nullopt},
        {"2026-12-09 09:01:15Z", std::nullopt},
        {"2026-12-09T09:01:15+0900", std::nullopt},
        {"２０26-12-09T09:01:15Z", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseStoredDate(c.text), c.date);
    }
    EXPECT_EQ(formatStoredDate(base), "2026-12-09T09:01:15Z");
    EXPECT_EQ(formatStoredDate(sys_days(1999y / January / 1)), "1999-01-01T00:00:00Z");
}

TEST(DeviceTokenHash, IsLowerCaseHexSha256OfTheText) {
    EXPECT_EQ(DeviceRegistry::hash(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(DeviceRegistry::hash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(DeviceRegistryFiles, KeepsDevicesAndHostIdAcrossRuns) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("orvanta-registry-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    std::string hostId;
    std::string token;
    {
        DeviceRegistry registry(std::make_shared<base::FileSecretStore>(dir));
        hostId = registry.hostId();
        token = registry.registerDevice("android-7", "Pixel (Android)").value_or("");
        registry.touch("android-7", DeviceKind::android);
        EXPECT_EQ(registry.lastError(), std::nullopt);
    }
    DeviceRegistry reloaded(std::make_shared<base::FileSecretStore>(dir));
    EXPECT_EQ(reloaded.lastError(), std::nullopt);
    EXPECT_EQ(reloaded.hostId(), hostId);
    auto record = reloaded.authenticate(token, "android-7");
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->kind, "android");
    EXPECT_TRUE(record->lastSeen.has_value());
    fs::remove_all(dir);
}

}  // namespace
}  // namespace orvanta::host
