// The pairing endpoint on its own: codes, their expiry and a pairing's answer, on virtual time with
// the host's published state and log as its neighbours.
#include <gtest/gtest.h>

#include "base/Json.h"
#include "host/controller/PairingEndpoint.h"
#include "support/FakeHostDevice.h"
#include "support/ManualExecutor.h"
#include "support/MemorySecretStore.h"

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;

struct Answer {
    std::string status;
    base::Json body;
};

class PairingEndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        endpoint->publish = [this](std::function<void(host::HostPublishedState&)> change) {
            main.async([this, change = std::move(change)] { published->assign(change); });
        };
        endpoint->onDevicesChanged = [this] { ++devicesChanged; };
        endpoint->log = [this](std::string_view line) { logs.emplace_back(line); };
    }

    Answer handle(const std::string& body) {
        Answer answer;
        host::HTTPRequest request;
        request.body = base::toBytes(body);
        endpoint->handle(request, [&answer](std::string status, base::Bytes bytes) {
            answer = {std::move(status), base::Json::parse(std::string(bytes.begin(), bytes.end()))};
        });
        main.runUntilIdle();
        return answer;
    }

    std::string issue() {
        endpoint->issue();
        main.runUntilIdle();
        return host::PairingManager::normalize(shown().codeText.value_or(""));
    }

    void advance(std::chrono::microseconds delta) {
        queue.advance(delta);
        main.runUntilIdle();
    }

    const host::HostPublishedState& shown() const { return published->state(); }

    ManualExecutor queue;
    ManualExecutor main;
    ManualExecutor utility;
    std::shared_ptr<MemorySecretStore> secrets = std::make_shared<MemorySecretStore>();
    std::shared_ptr<host::DeviceRegistry> registry = std::make_shared<host::DeviceRegistry>(secrets);
    std::shared_ptr<host::HostPublished> published = std::make_shared<host::HostPublished>();
    std::shared_ptr<host::PairingEndpoint> endpoint =
        std::make_shared<host::PairingEndpoint>(host::PairingEndpoint::Dependencies{
            .queue = &queue,
            .main = &main,
            .utility = &utility,
            .clock = &queue.clock(),
            .registry = registry,
            .published = published,
            .pairLinkLookup = {},
        });
    int devicesChanged = 0;
    std::vector<std::string> logs;
};

// A replaced code's timer does not clear its successor, which lives its own five minutes.
TEST_F(PairingEndpointTest, CodeExpiresAfterItsOwnFiveMinutes) {
    issue();
    advance(10s);
    const std::string second = issue();
    advance(290s);  // 300 s after the first
    EXPECT_EQ(host::PairingManager::normalize(shown().codeText.value_or("")), second);
    advance(9s);
    EXPECT_TRUE(shown().codeText);
    advance(1s);
    EXPECT_FALSE(shown().codeText);
    EXPECT_EQ(shown().codeNote, "");
    EXPECT_EQ(handle(pairBody(second, "dev-1")).body, (base::Json{{"error", "no_active_code"}}));
}

// Only a saved pairing tells the host its devices changed.
TEST_F(PairingEndpointTest, PairedDeviceIsAnnouncedOnlyOnceSaved) {
    advance(1s);
    const std::string first = issue();
    const Answer paired = handle(pairBody(first, "dev-1", "Kitchen tablet"));
    ASSERT_EQ(paired.status, "200 OK");
    EXPECT_TRUE(registry->authenticate(paired.body.at("deviceToken").get<std::string>(), "dev-1"));
    EXPECT_EQ(devicesChanged, 1);
    EXPECT_EQ(shown().codeNote, "ペアリングしました: Kitchen tablet");

    advance(1s);
    const std::string second = issue();
    secrets->failSave = -34018;
    EXPECT_EQ(handle(pairBody(second, "dev-2")).status, "500 Internal Server Error");
    EXPECT_EQ(devicesChanged, 1);
    EXPECT_EQ(registry->devices().size(), 1u);
}

// The debug file's code pairs like a shown one, and replaces it, without appearing on the screen.
TEST_F(PairingEndpointTest, UnshownCodeIsActiveButNotShown) {
    const std::string shownCode = issue();
    const std::string unshown = endpoint->issueUnshown().normalized;
    main.runUntilIdle();
    EXPECT_EQ(host::PairingManager::normalize(shown().codeText.value_or("")), shownCode);
    EXPECT_EQ(handle(pairBody(unshown, "dev-1")).status, "200 OK");
    EXPECT_EQ(devicesChanged, 1);
}

}  // namespace
}  // namespace orvanta::testing
