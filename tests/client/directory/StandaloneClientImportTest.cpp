#include "client/directory/StandaloneClientImport.h"

#include <gtest/gtest.h>

#include "support/MemorySettings.h"

namespace orvanta::client {
namespace {

using testing::MemorySettings;

const std::string kHosts(HostListStore::kEntriesKey);
const std::string kSelected(HostListStore::kSelectedKey);
const std::string kSendClipboard("tessaril.client.sendClipboard");
const std::string kDeviceName("tessaril.client.deviceName");
const std::string kMarker(StandaloneClientImport::kMarkerKey);

TEST(StandaloneClientImport, CopiesMissingKeysUnchangedAndNeverOverwrites) {
    MemorySettings destination;
    MemorySettings suite;
    suite.set(kHosts, base::toBytes(R"({"entries":[]})"));
    suite.set(kSelected, "SUITE-ID");
    suite.set(kSendClipboard, false);
    suite.set(kDeviceName, "Suite Mac");
    suite.set("unrelated", 1);
    destination.set(kHosts, base::toBytes("own list"));
    destination.set(kDeviceName, "");

    EXPECT_EQ(StandaloneClientImport::run(destination, &suite), 2);
    EXPECT_EQ(destination.data(kHosts), base::toBytes("own list"));
    EXPECT_EQ(destination.string(kSelected), "SUITE-ID");
    EXPECT_EQ(destination.boolean(kSendClipboard), false);
    EXPECT_EQ(destination.string(kDeviceName), "");
    EXPECT_FALSE(destination.contains("unrelated"));
    EXPECT_EQ(destination.boolean(kMarker), true);
}

TEST(StandaloneClientImport, CopiesAllFourKeysIntoEmptySettings) {
    MemorySettings destination;
    MemorySettings suite;
    suite.set(kHosts, base::toBytes("{}"));
    suite.set(kSelected, "A");
    suite.set(kSendClipboard, true);
    suite.set(kDeviceName, "n");
    EXPECT_EQ(StandaloneClientImport::run(destination, &suite), 4);
    destination.remove(kMarker);
    EXPECT_EQ(destination.stored(), suite.stored());
}

TEST(StandaloneClientImport, RunsOnceEvenWithoutASuite) {
    MemorySettings destination;
    EXPECT_EQ(StandaloneClientImport::run(destination, nullptr), 0);
    EXPECT_EQ(destination.boolean(kMarker), true);

    MemorySettings suite;
    suite.set(kSelected, "LATE");
    EXPECT_EQ(StandaloneClientImport::run(destination, &suite), std::nullopt);
    EXPECT_FALSE(destination.contains(kSelected));
}

TEST(StandaloneClientImport, RunsAgainWhileTheMarkerIsNotTrue) {
    MemorySettings destination;
    destination.set(kMarker, false);
    MemorySettings suite;
    suite.set(kSelected, "A");
    EXPECT_EQ(StandaloneClientImport::run(destination, &suite), 1);
}

}  // namespace
}  // namespace orvanta::client
