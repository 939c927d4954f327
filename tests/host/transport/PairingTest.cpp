#include "host/transport/Pairing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "support/ManualExecutor.h"

namespace orvanta::host {
namespace {

using namespace std::chrono_literals;

// Pairing runs on the host's uptime in seconds; the tests move a virtual uptime clock.
class PairingTest : public ::testing::Test {
protected:
    double now() const { return static_cast<double>(clock_.uptimeMicros()) / 1e6; }
    void advance(std::chrono::milliseconds delta) { clock_.advance(delta); }

    // An active code with a known text, as if it had just been issued.
    void activate(std::string code) {
        manager_.issue(now());
        manager_.active->normalized = std::move(code);
    }

    testing::ManualClock clock_{100'000'000};
    PairingManager manager_;
};

TEST_F(PairingTest, IssuesTenCharactersOfTheAlphabetShownInGroups) {
    std::set<char> seen;
    for (int i = 0; i < 200; ++i) {
        const PairingCode code = manager_.issue(now());
        ASSERT_EQ(code.normalized.size(), 10u);
        for (char c : code.normalized) {
            ASSERT_NE(PairingManager::kAlphabet.find(c), std::string_view::npos) << code.normalized;
            seen.insert(c);
        }
        const std::string display = code.display();
        ASSERT_EQ(display.size(), 12u);
        EXPECT_EQ(display,
                  code.normalized.substr(0, 4) + "-" + code.normalized.substr(4, 4) + "-" + code.normalized.substr(8));
        EXPECT_EQ(code.expiresAt, code.issuedAt + 300);
        EXPECT_EQ(code.failures, 0);
        EXPECT_EQ(manager_.active, code);
    }
    // 2000 draws over 32 characters: every one shows up unless the drawing is skewed.
    EXPECT_EQ(seen.size(), 32u);
}

TEST_F(PairingTest, NormalizesWhatPeopleType) {
    struct Case {
        std::string_view typed;
        std::string_view normalized;
    };
    const std::vector<Case> cases = {
        {"abcd-efgh-jk",
         "ABCDEFGH"
         "JK"},
        {" 0123 4567-89 ", "0123456789"},
        {"oOiIlL", "001111"},
        {"u", "U"},
        {"ß-ﬁ", "SSF1"},  // full upper-casing, then the look-alike letters
        {"ıo", "10"},
        {"é_", "É_"},
        {"", ""},
        {std::string_view("\xff"
                          "a",
                          2),
         "\xEF\xBF\xBD"
         "A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        EXPECT_EQ(PairingManager::normalize(c.typed), c.normalized);
    }
}

TEST_F(PairingTest, AcceptsTheCodeInEveryTypedFormOnce) {
    for (std::string_view typed : {"0123456789", "0123-4567-89", "o123 4567 89", "Ol23456789", "0i23456789"}) {
        SCOPED_TRACE(typed);
        activate("0123456789");
        advance(1s);
        EXPECT_EQ(manager_.attempt(typed, now()), PairingResult::success);
        EXPECT_EQ(manager_.active, std::nullopt);
        advance(1s);
        EXPECT_EQ(manager_.attempt(typed, now()), PairingResult::noActiveCode);
    }
}

TEST_F(PairingTest, SpacesCountedAttemptsOneSecondApart) {
    activate("0123456789");
    EXPECT_EQ(manager_.attempt("WRONG", now()), PairingResult::wrongCode);
    advance(500ms);
    EXPECT_EQ(manager_.attempt("0123456789", now()), PairingResult::tooSoon);
    EXPECT_EQ(manager_.active->failures, 1);
    advance(500ms);  // one second after the counted attempt, whatever came between
    EXPECT_EQ(manager_.attempt("0123456789", now()), PairingResult::success);

    // An attempt with no code still counts for the spacing.
    advance(1s);
    EXPECT_EQ(manager_.attempt("0123456789", now()), PairingResult::noActiveCode);
    advance(500ms);
    EXPECT_EQ(manager_.attempt("0123456789", now()), PairingResult::tooSoon);
    EXPECT_EQ(manager_.attempt("x", std::nan("")), PairingResult::tooSoon);
}

TEST_F(PairingTest, DiscardsTheCodeAtTheFifthWrongAttempt) {
    activate("0123456789");
    for (int i = 1; i <= 4; ++i) {
        advance(1s);
        EXPECT_EQ(manager_.attempt("9876543210", now()), PairingResult::wrongCode);
        ASSERT_TRUE(manager_.active.has_value());
        EXPECT_EQ(manager_.active->failures, i);
    }
    advance(1s);
    EXPECT_EQ(manager_.attempt("U123456789", now()), PairingResult::wrongCode);
    EXPECT_EQ(manager_.active, std::nullopt);
    advance(1s);
    EXPECT_EQ(manager_.attempt("0123456789", now()), PairingResult::noActiveCode);
}

TEST_F(PairingTest, ExpiresThreeHundredSecondsAfterIssue) {
    activate("0123456789");
    advance(299'900ms);
    EXPECT_EQ(manager_.attempt("0123456789", now()), PairingResult::success);

    activate("0123456789");
    advance(300s);
    EXPECT_EQ(manager_.attempt("0123456789", now()), PairingResult::noActiveCode);
    EXPECT_EQ(manager_.active, std::nullopt);
}

TEST_F(PairingTest, ANewCodeReplacesTheOldOneAndItsFailures) {
    activate("0123456789");
    advance(1s);
    ASSERT_EQ(manager_.attempt("x", now()), PairingResult::wrongCode);
    const double lastAttempt = manager_.lastAttempt;
    const PairingCode fresh = manager_.issue(now());
    EXPECT_EQ(manager_.active->failures, 0);
    EXPECT_EQ(manager_.lastAttempt, lastAttempt);
    advance(1s);
    if (fresh.normalized != "0123456789") {
        EXPECT_EQ(manager_.attempt("0123456789", now()), PairingResult::wrongCode);
        advance(1s);
    }
    EXPECT_EQ(manager_.attempt(fresh.display(), now()), PairingResult::success);
}

}  // namespace
}  // namespace orvanta::host
