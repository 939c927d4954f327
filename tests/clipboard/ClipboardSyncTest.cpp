#include "clipboard/ClipboardSync.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "base/Base64.h"
#include "base/Crypto.h"
#include "support/FakePasteboard.h"
#include "support/ManualExecutor.h"
#include "support/MemorySettings.h"

namespace orvanta::clipboard {
namespace {

using testing::FakeImageCodec;
using testing::FakePasteboard;
using testing::ManualExecutor;
using testing::MemorySettings;

// One machine: its settings, pasteboard and hub, with clipboard sync switched on.
struct Machine {
    Machine(ManualExecutor& main, std::string name, bool enabled = true) : origin(std::move(name)) {
        settings.set(ClipboardSync::kEnabledKey, enabled);
        rebuild(main);
    }
    void rebuild(ManualExecutor& main) {
        hub.reset();
        hub = std::make_unique<ClipboardSync>(main, settings, board, codec, [this] { return origin; });
    }

    std::string origin;
    MemorySettings settings;
    FakePasteboard board;
    FakeImageCodec codec;
    std::unique_ptr<ClipboardSync> hub;
};

// Records what a hub sends to one attached peer, without a hub on the other side.
struct Recorder {
    std::vector<Packet> sent;
    int closes = 0;
    ClipboardSync::Peer peer() {
        return {[this](const Packet& p) { sent.push_back(p); }, [this] { ++closes; }};
    }
};

class ClipboardSyncTest : public ::testing::Test {
protected:
    // Joins two hubs as a transport would: each packet arrives later, on the main executor.
    void link(Machine& a, Machine& b) {
        const std::string aId = "peer-" + b.origin, bId = "peer-" + a.origin;
        a.hub->attach(aId, {[this, &b, bId](const Packet& p) { main.async([&b, p, bId] { b.hub->receive(p, bId); }); },
                            [] {}});
        b.hub->attach(bId, {[this, &a, aId](const Packet& p) { main.async([&a, p, aId] { a.hub->receive(p, aId); }); },
                            [] {}});
        main.runUntilIdle();
    }

    ManualExecutor main;
};

TEST_F(ClipboardSyncTest, ContentSpreadsAlongAChainAndNeverComesBack) {
    Machine a(main, "a"), b(main, "b"), c(main, "c");
    link(a, b);
    link(b, c);

    a.board.userCopies("hello");
    main.advance(ClipboardSync::kPollInterval);
    main.runUntilIdle();
    EXPECT_EQ(b.board.text, "hello");
    EXPECT_EQ(c.board.text, "hello");
    EXPECT_EQ(a.board.writes, 0);
    EXPECT_EQ(c.hub->seen().at("a"), 1);

    const auto png = testing::pngWithHeader(4, 4);
    c.board.userCopies(std::nullopt, png);
    main.advance(ClipboardSync::kPollInterval);
    main.runUntilIdle();
    EXPECT_EQ(a.board.png, png);
    EXPECT_EQ(a.board.text, std::nullopt);
    EXPECT_EQ(c.board.writes, 1);  // only the text from a

    // The hubs' own writes are not new content: later ticks send nothing anywhere.
    const int writesBefore = a.board.writes + b.board.writes + c.board.writes;
    main.advance(ClipboardSync::kPollInterval * 4);
    main.runUntilIdle();
    EXPECT_EQ(a.board.writes + b.board.writes + c.board.writes, writesBefore);
    EXPECT_EQ(a.hub->seen().at("a"), 1);
}

struct ReceiveCase {
    const char* name;
    Packet packet;
    bool taken;
};

TEST_F(ClipboardSyncTest, ReceiveTakesOnlyFreshWellFormedContent) {
    const std::string longest(256, 'o');
    const std::string maxText(1'000'000, 't');
    const std::string jpeg = base::base64Encode(base::Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F', 'I', 'F'});
    const std::string hugePng = base::base64Encode(testing::pngWithHeader(100'000, 100'000));
    const std::vector<ReceiveCase> cases = {
        {"seq 1 from an unknown origin", {{"type", "clipboard"}, {"origin", "x"}, {"seq", 1}, {"text", "t"}}, true},
        {"seq equal to the highest seen", {{"type", "clipboard"}, {"origin", "seen"}, {"seq", 4}, {"text", "t"}}, false},
        {"seq above the highest seen", {{"type", "clipboard"}, {"origin", "seen"}, {"seq", 5}, {"text", "t"}}, true},
        {"our own origin", {{"type", "clipboard"}, {"origin", "me"}, {"seq", 99}, {"text", "t"}}, false},
        {"empty origin", {{"type", "clipboard"}, {"origin", ""}, {"seq", 1}, {"text", "t"}}, false},
        {"256-byte origin", {{"type", "clipboard"}, {"origin", longest}, {"seq", 1}, {"text", "t"}}, true},
        {"257-byte origin", {{"type", "clipboard"}, {"origin", longest + "o"}, {"seq", 1}, {"text", "t"}}, false},
        {"seq as text", {{"type", "clipboard"}, {"origin", "x"}, {"seq", "1"}, {"text", "t"}}, false},
        {"seq as a real number", {{"type", "clipboard"}, {"origin", "x"}, {"seq", 1.5}, {"text", "t"}}, false},
        {"text of 1,000,000 bytes", {{"type", "clipboard"}, {"origin", "x"}, {"seq", 1}, {"text", maxText}}, true},
        {"text of 1,000,001 bytes", {{"type", "clipboard"}, {"origin", "x"}, {"seq", 1}, {"text", maxText + "t"}}, false},
        {"text missing", {{"type", "clipboard"}, {"origin", "x"}, {"seq", 1}}, false},
        {"a PNG", {{"type", "clipboardImage"}, {"origin", "x"}, {"seq", 1},
                   {"data", base::base64Encode(testing::pngWithHeader(2, 2))}}, true},
        {"a JPEG", {{"type", "clipboardImage"}, {"origin", "x"}, {"seq", 1}, {"data", jpeg}}, false},
        {"a PNG claiming an enormous picture", {{"type", "clipboardImage"}, {"origin", "x"}, {"seq", 1}, {"data", hugePng}}, false},
        {"data that is not Base64", {{"type", "clipboardImage"}, {"origin", "x"}, {"seq", 1}, {"data", "!!"}}, false},
        {"an unknown type", {{"type", "clipboardFile"}, {"origin", "x"}, {"seq", 1}, {"text", "t"}}, false},
        {"no type", {{"origin", "x"}, {"seq", 1}, {"text", "t"}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Machine me(main, "me");
        me.settings.set(ClipboardSync::kSeenKey, base::SettingsDictionary{{"seen", 4}});
        me.rebuild(main);
        Recorder sender, other;
        me.hub->attach("sender", sender.peer());
        me.hub->attach("other", other.peer());
        me.hub->receive(c.packet, "sender");
        EXPECT_EQ(me.board.writes, c.taken ? 1 : 0);
        EXPECT_EQ(other.sent.size(), c.taken ? 2u : 1u);  // the greeting, then the forwarded content
        EXPECT_EQ(sender.sent.size(), 1u);
    }
}

TEST_F(ClipboardSyncTest, IgnoresPacketsFromUnknownPeersAndWhileOff) {
    Machine on(main, "me"), off(main, "me", false);
    const Packet text{{"type", "clipboard"}, {"origin", "x"}, {"seq", 1}, {"text", "t"}};
    on.hub->receive(text, "nobody");
    Recorder closed;
    off.hub->attach("p", closed.peer());
    off.hub->receive(text, "p");
    EXPECT_EQ(on.board.writes + off.board.writes, 0);
    EXPECT_EQ(closed.closes, 1);
    EXPECT_EQ(off.hub->peerCount(), 0u);
}

TEST_F(ClipboardSyncTest, StateExchangeSendsOnlyTheContentWithTheGreaterOrigin) {
    Machine a(main, "X"), b(main, "Y");
    a.settings.set(ClipboardSync::kSeenKey, base::SettingsDictionary{{"X", 2}});
    b.settings.set(ClipboardSync::kSeenKey, base::SettingsDictionary{{"Y", 4}});
    a.rebuild(main);
    b.rebuild(main);
    a.board.userCopies("from X");
    b.board.userCopies("from Y");
    main.advance(ClipboardSync::kPollInterval);
    ASSERT_EQ(a.hub->current()->at("seq"), 3);
    ASSERT_EQ(b.hub->current()->at("seq"), 5);

    link(a, b);
    EXPECT_EQ(a.board.text, "from Y");
    EXPECT_EQ(b.board.text, "from Y");
    EXPECT_EQ(b.board.writes, 0);
    EXPECT_EQ(a.hub->current()->at("origin"), "Y");
}

TEST_F(ClipboardSyncTest, PeerThatKnowsTheCurrentContentGetsNothing) {
    Machine me(main, "me");
    me.board.userCopies("copied");
    main.advance(ClipboardSync::kPollInterval);
    Recorder peer;
    me.hub->attach("p", peer.peer());
    me.hub->receive({{"type", "clipboardState"}, {"known", {{"me", 1}}}}, "p");
    me.hub->receive({{"type", "clipboardState"}, {"known", {{"me", "1"}}}}, "p");  // not all integers: empty
    ASSERT_EQ(peer.sent.size(), 2u);
    EXPECT_EQ(peer.sent[0].at("type"), "clipboardState");
    EXPECT_EQ(peer.sent[1].at("text"), "copied");
}

TEST_F(ClipboardSyncTest, AttachAnnouncesUnhandledContentBeforeGreeting) {
    Machine me(main, "me");
    Recorder first, second;
    me.hub->attach("first", first.peer());
    me.board.userCopies("new");
    me.hub->attach("second", second.peer());
    ASSERT_EQ(first.sent.size(), 2u);
    EXPECT_EQ(first.sent[1], (Packet{{"type", "clipboard"}, {"origin", "me"}, {"seq", 1}, {"text", "new"}}));
    ASSERT_EQ(second.sent.size(), 1u);
    EXPECT_EQ(second.sent[0], (Packet{{"type", "clipboardState"}, {"known", {{"me", 1}}}, {"origin", "me"}, {"seq", 1}}));
}

TEST_F(ClipboardSyncTest, RestartWithContentInStepAnnouncesNothing) {
    Machine me(main, "me");
    std::vector<std::string> lines;
    ClipboardSync::diagnosticLog = [&lines](const std::string& line) { lines.push_back(line); };
    me.board.userCopies("kept");
    main.advance(ClipboardSync::kPollInterval);
    ASSERT_EQ(me.hub->seen().at("me"), 1);

    lines.clear();
    me.rebuild(main);
    ClipboardSync::diagnosticLog = nullptr;
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "clipboard poll: change=" + std::to_string(me.board.changeCount()) +
                            " types=[] result=nil(suppressed) peers=0 sent=no");
    EXPECT_EQ(me.hub->current()->at("seq"), 1);
    EXPECT_EQ(me.hub->seen().at("me"), 1);

    // Different content at start is new, with the next seq of our own counter.
    me.board.userCopies("changed while away");
    me.rebuild(main);
    EXPECT_EQ(me.hub->current()->at("seq"), 2);
}

TEST_F(ClipboardSyncTest, SwitchingOffClosesPeersAndKeepsTheCounter) {
    Machine me(main, "me");
    Recorder peer;
    me.hub->attach("p", peer.peer());
    // A connection that detaches itself while it is being closed.
    int detachingCloses = 0;
    me.hub->attach("q", {[](const Packet&) {}, [&] {
                             ++detachingCloses;
                             me.hub->detach("q");
                         }});
    me.board.userCopies("one");
    main.advance(ClipboardSync::kPollInterval);
    me.hub->setEnabled(false);
    EXPECT_EQ(peer.closes, 1);
    EXPECT_EQ(detachingCloses, 1);
    EXPECT_EQ(me.hub->peerCount(), 0u);
    EXPECT_EQ(me.settings.boolean(ClipboardSync::kEnabledKey), false);
    EXPECT_TRUE(me.settings.contains(ClipboardSync::kSeenKey));

    me.board.userCopies("two");
    main.advance(ClipboardSync::kPollInterval * 3);
    EXPECT_EQ(me.hub->current(), std::nullopt);  // off: nothing is read

    me.hub->setEnabled(true);
    EXPECT_EQ(me.hub->current()->at("seq"), 2);
}

TEST_F(ClipboardSyncTest, SessionWriteIsNeitherAnnouncedNorKeptAsCurrent) {
    Machine me(main, "me");
    Recorder peer;
    me.board.userCopies("mine");
    main.advance(ClipboardSync::kPollInterval);
    me.hub->attach("p", peer.peer());

    me.board.writeText("from the session");
    me.hub->sessionApplied();
    main.advance(ClipboardSync::kPollInterval * 2);
    EXPECT_EQ(peer.sent.size(), 1u);  // the greeting only
    EXPECT_EQ(me.hub->current(), std::nullopt);
    EXPECT_FALSE(me.settings.contains(ClipboardSync::kCurrentKey));
    EXPECT_EQ(me.hub->networkChange(), me.board.changeCount());
}

TEST_F(ClipboardSyncTest, RefusedWriteDropsCurrentAndLeavesTheContentOfferable) {
    Machine me(main, "me");
    Recorder sender, other;
    me.hub->attach("sender", sender.peer());
    me.hub->attach("other", other.peer());
    me.board.refusesWrites = true;
    const Packet text{{"type", "clipboard"}, {"origin", "x"}, {"seq", 1}, {"text", "t"}};
    me.hub->receive(text, "sender");
    EXPECT_EQ(me.hub->current(), std::nullopt);
    EXPECT_FALSE(me.hub->seen().contains("x"));
    EXPECT_EQ(other.sent.size(), 1u);

    me.board.refusesWrites = false;
    me.hub->receive(text, "sender");
    EXPECT_EQ(me.board.text, "t");
}

TEST(ClipboardFingerprintTest, HashesTheKindLetterAndTheBody) {
    const auto expect = [](std::string_view body) { return base::base64Encode(base::sha256(base::asBytes(body))); };
    EXPECT_EQ(ClipboardSync::fingerprint({{"text", "a"}}), expect("Ta"));
    EXPECT_EQ(ClipboardSync::fingerprint({{"data", "QUJD"}}), expect("IQUJD"));
    EXPECT_EQ(ClipboardSync::fingerprint({{"seq", 1}}), expect("I"));
    EXPECT_EQ(ClipboardSync::fingerprint({{"text", "a"}}).size(), 44u);
}

}  // namespace
}  // namespace orvanta::clipboard
