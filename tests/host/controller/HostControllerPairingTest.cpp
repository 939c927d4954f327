// The pairing endpoint over real loopback HTTP, and the code on the host screen.
#include "HostControllerHarness.h"

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;

std::string repeated(std::string_view unit, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += unit;
    return text;
}

const std::string kFamily = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // one cluster, 18 bytes

struct RefusedCase {
    std::string name;
    std::string body;
};

class PairingRefusal : public HostControllerTest, public ::testing::WithParamInterface<RefusedCase> {};

// Refused before the attempt: a correct code sent a moment later still pairs, so nothing was counted.
TEST_P(PairingRefusal, AnswersBadRequestWithoutCountingTheAttempt) {
    startListening();
    const std::string code = issue();
    const auto displayed = shown().codeText;
    const HttpAnswer refused = pair(GetParam().body);
    EXPECT_EQ(refused.status, "400 Bad Request");
    EXPECT_EQ(refused.body, (base::Json{{"error", "bad_request"}}));
    EXPECT_EQ(shown().codeText, displayed);
    EXPECT_EQ(pair(pairBody(code, "dev-1")).status, "200 OK");
}

INSTANTIATE_TEST_SUITE_P(Bodies, PairingRefusal,
                         ::testing::Values(RefusedCase{"NotJson", "{code"}, RefusedCase{"Array", "[]"},
                                           RefusedCase{"Empty", ""},
                                           RefusedCase{"MissingName", R"({"code":"x","deviceId":"d"})"},
                                           RefusedCase{"NumberId", R"({"code":"x","deviceId":7,"deviceName":"n"})"},
                                           RefusedCase{"NullCode", R"({"code":null,"deviceId":"d","deviceName":"n"})"},
                                           RefusedCase{"EmptyId", pairBody("x", "")},
                                           RefusedCase{"LongId", pairBody("x", repeated("d", 65))},
                                           RefusedCase{"LongName", pairBody("x", "d", repeated(kFamily, 65))},
                                           RefusedCase{"LongCode", pairBody(repeated("A", 33), "d")}),
                         [](const auto& test) { return test.param.name; });

TEST_F(HostControllerTest, LengthsAreCountedInGraphemeClusters) {
    startListening();
    // At the limits every field passes the checks and reaches the attempt: no code is active.
    const HttpAnswer answer = pair(pairBody(repeated("A", 32), repeated(kFamily, 64), repeated("e\u0301", 64)));
    EXPECT_EQ(answer.status, "401 Unauthorized");
    EXPECT_EQ(answer.body, (base::Json{{"error", "no_active_code"}}));
}

TEST_F(HostControllerTest, PairsADeviceAndShowsIt) {
    startListening();
    issue();
    ASSERT_TRUE(shown().codeText);
    EXPECT_EQ(shown().codeNote, "5分以内に端末へ入力してください");
    advance(1s);
    // Typed in lower case with the display's dashes: the manager normalises it.
    std::string typed = shown().codeText.value();
    std::ranges::transform(typed, typed.begin(), [](unsigned char c) { return std::tolower(c); });
    const HttpAnswer answer = pair(pairBody(typed, "dev-1", "Kitchen tablet"));
    ASSERT_EQ(answer.status, "200 OK");
    EXPECT_EQ(answer.body.at("hostId"), registry->hostId());
    const std::string token = answer.body.at("deviceToken");
    EXPECT_TRUE(registry->authenticate(token, "dev-1"));
    ASSERT_EQ(shown().devices.size(), 1u);
    EXPECT_EQ(shown().devices[0].name, "Kitchen tablet");
    EXPECT_FALSE(shown().codeText);
    EXPECT_FALSE(shown().pairLink);
    EXPECT_EQ(shown().codeNote, "ペアリングしました: Kitchen tablet");
    EXPECT_TRUE(logged("paired device dev-1"));
}

TEST_F(HostControllerTest, AnswersEachAttemptResultWordForWord) {
    startListening();
    EXPECT_EQ(pair(pairBody("AAAA-AAAA-AA", "dev-1")).body, (base::Json{{"error", "no_active_code"}}));
    advance(1s);
    const std::string code = issue();
    const std::string wrong = code == "0000000000" ? "1111111111" : "0000000000";
    const HttpAnswer first = pair(pairBody(wrong, "dev-1"));
    EXPECT_EQ(first.status, "401 Unauthorized");
    EXPECT_EQ(first.body, (base::Json{{"error", "invalid_code"}}));
    // The spacing holds across devices, whatever the code.
    advance(500ms);
    const HttpAnswer soon = pair(pairBody(code, "dev-2"));
    EXPECT_EQ(soon.status, "429 Too Many Requests");
    EXPECT_EQ(soon.body, (base::Json{{"error", "rate_limited"}}));
    advance(500ms);
    EXPECT_EQ(pair(pairBody(code, "dev-2")).status, "200 OK");
}

TEST_F(HostControllerTest, FifthWrongCodeClearsTheDisplay) {
    startListening();
    const std::string code = issue();
    const std::string wrong = code == "0000000000" ? "1111111111" : "0000000000";
    for (int attempt = 1; attempt <= 5; ++attempt) {
        advance(1s);
        // The limit holds across devices.
        EXPECT_EQ(pair(pairBody(wrong, "dev-" + std::to_string(attempt))).body.at("error"), "invalid_code");
        EXPECT_EQ(shown().codeText.has_value(), attempt < 5) << attempt;
    }
    advance(1s);
    EXPECT_EQ(pair(pairBody(code, "dev-1")).body.at("error"), "no_active_code");
}

TEST_F(HostControllerTest, StorageFailureAnswersAndLosesNoPairedDevice) {
    startListening();
    advance(1s);
    const std::string first = issue();
    ASSERT_EQ(pair(pairBody(first, "dev-1")).status, "200 OK");
    advance(1s);
    const std::string second = issue();
    secrets->failSave = -34018;
    const HttpAnswer answer = pair(pairBody(second, "dev-2"));
    EXPECT_EQ(answer.status, "500 Internal Server Error");
    EXPECT_EQ(answer.body, (base::Json{{"error", "storage_failed"}}));
    ASSERT_EQ(registry->devices().size(), 1u);
    EXPECT_EQ(registry->devices()[0].deviceId, "dev-1");
    EXPECT_EQ(shown().devices.size(), 1u);
    EXPECT_FALSE(shown().codeText);  // the code was spent by the successful attempt
}

TEST_F(HostControllerTest, CodeExpiresAfterItsOwnFiveMinutes) {
    startListening();
    issue();
    advance(10s);
    const std::string second = issue();
    const auto shownSecond = shown().codeText;
    advance(290s);  // 300 s after the first
    EXPECT_EQ(shown().codeText, shownSecond);
    advance(9s);
    EXPECT_TRUE(shown().codeText);
    advance(1s);
    EXPECT_FALSE(shown().codeText);
    EXPECT_EQ(shown().codeNote, "");
    EXPECT_EQ(pair(pairBody(second, "dev-1")).body.at("error"), "no_active_code");
}

TEST_F(HostControllerTest, PairLinkIsBuiltOffTheQueueAndDroppedWhenStale) {
    create();
    controller->issueCode();
    queue.runUntilIdle();
    main.runUntilIdle();
    EXPECT_TRUE(lookedUp.empty());  // not on the controller's queue
    const auto first = shown().codeText;
    controller->issueCode();
    queue.runUntilIdle();
    main.runUntilIdle();
    utility.runUntilIdle();
    main.runUntilIdle();
    ASSERT_EQ(lookedUp.size(), 2u);
    EXPECT_EQ(lookedUp[0], *first);
    ASSERT_TRUE(shown().pairLink);
    EXPECT_EQ(shown().pairLink->link, "https://host.example.ts.net/pair#" + *shown().codeText);
    EXPECT_GT(shown().pairLink->qr.size, 0);

    // A link that lands after the display was cleared stays off the screen.
    controller->issueCode();
    queue.advance(300s);  // the code expires before its link is learned
    main.runUntilIdle();
    EXPECT_FALSE(shown().codeText);
    utility.runUntilIdle();
    main.runUntilIdle();
    EXPECT_FALSE(shown().pairLink);
}

TEST_F(HostControllerTest, CodeIsShownWithoutALinkWhenNoneCanBeLearned) {
    linkAvailable = false;
    create();
    issue();
    EXPECT_TRUE(shown().codeText);
    EXPECT_FALSE(shown().pairLink);
}

}  // namespace
}  // namespace orvanta::testing
