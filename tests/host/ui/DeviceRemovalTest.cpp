#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "host/ui/DeviceRemoval.h"
#include "support/PairedRecords.h"

namespace orvanta::host::ui {
namespace {

using orvanta::testing::pairedInJanuary;

// The controller as the section sees it: revocations wait until the test answers them, in call
// order; a successful one drops the record before its completion runs, as the controller's
// republished list does.
struct FakeController {
    std::vector<DeviceRecord> devices;
    std::deque<std::pair<std::string, std::function<void(bool)>>> pending;
    std::vector<std::string> revoked;

    void answer(bool succeeded) {
        auto [id, completion] = std::move(pending.front());
        pending.pop_front();
        if (succeeded) std::erase_if(devices, [&](const DeviceRecord& r) { return r.deviceId == id; });
        completion(succeeded);
    }
};

struct Flow {
    FakeController controller;
    std::vector<std::string> expanded;
    std::vector<std::pair<std::string, std::string>> finished;  // focus, announcement
    DeviceRemoval removal{[this](const std::string& id, std::function<void(bool)> done) {
                              controller.revoked.push_back(id);
                              controller.pending.emplace_back(id, std::move(done));
                          },
                          [this] { return controller.devices; }, [this] { return expanded; }};

    Flow() {
        removal.onFinished = [this](const std::string& focus, const std::string& text) {
            finished.emplace_back(focus, text);
        };
    }
    Removal single(const std::string& id) const {
        const auto groups = orderedGroups(controller.devices);
        for (const auto& group : groups) {
            if (group.latest.deviceId == id) return {group.id, {group.latest}, false, std::nullopt};
            for (const auto& older : group.older)
                if (older.deviceId == id) return {group.id, {older}, false, std::nullopt};
        }
        return {};
    }
    Removal bulk(const std::string& name) const {
        for (const auto& group : orderedGroups(controller.devices))
            if (group.id == name) return {group.id, group.older, true, std::nullopt};
        return {};
    }
};

TEST(DeviceRemovalTest, ASecondRemovalWaitsUntilEveryRevocationHasAnswered) {
    Flow flow;
    flow.controller.devices = {pairedInJanuary("a", "A", 3), pairedInJanuary("b", "B", 2),
                               pairedInJanuary("c", "C", 1)};
    flow.removal.remove(flow.single("a"));
    EXPECT_TRUE(flow.removal.busy());
    flow.removal.remove(flow.single("b"));
    EXPECT_EQ(flow.controller.revoked, (std::vector<std::string>{"a"}));

    flow.controller.answer(true);
    EXPECT_FALSE(flow.removal.busy());
    EXPECT_EQ(flow.removal.result(), (DeviceRemoval::Result{"端末を削除しました", true}));
    // The removed record was first; focus goes to the one that followed it.
    EXPECT_EQ(flow.finished, (std::vector<std::pair<std::string, std::string>>{{"b", "端末を削除しました"}}));
    flow.removal.remove(flow.single("b"));
    EXPECT_EQ(flow.controller.revoked, (std::vector<std::string>{"a", "b"}));
}

TEST(DeviceRemovalTest, BulkRemovalCountsFailuresAndFocusesTheFirstOne) {
    Flow flow;
    flow.controller.devices = {pairedInJanuary("new", "Tab", 9), pairedInJanuary("o1", "Tab", 5),
                               pairedInJanuary("o2", "Tab", 4), pairedInJanuary("o3", "Tab", 3)};
    flow.expanded = {"Tab"};
    flow.removal.remove(flow.bulk("Tab"));
    EXPECT_EQ(flow.removal.removing(), (std::set<std::string>{"o1", "o2", "o3"}));
    flow.controller.answer(true);
    flow.controller.answer(false);
    EXPECT_TRUE(flow.removal.busy());
    EXPECT_TRUE(flow.finished.empty());
    flow.controller.answer(true);
    EXPECT_EQ(flow.removal.result(), (DeviceRemoval::Result{"3件中1件を削除できませんでした", false}));
    ASSERT_EQ(flow.finished.size(), 1u);
    EXPECT_EQ(flow.finished[0].first, "o2");
}

TEST(DeviceRemovalTest, BulkRemovalWithoutFailuresFocusesTheGroupsLatest) {
    Flow flow;
    flow.controller.devices = {pairedInJanuary("new", "Tab", 9), pairedInJanuary("o1", "Tab", 5),
                               pairedInJanuary("x", "X", 1)};
    flow.removal.remove(flow.bulk("Tab"));
    flow.controller.answer(true);
    EXPECT_EQ(flow.removal.result(), (DeviceRemoval::Result{"以前の記録 1件を削除しました", true}));
    EXPECT_EQ(flow.finished.back().first, "new");
}

TEST(DeviceRemovalTest, StaleBulkConfirmationRevokesNothing) {
    Flow flow;
    flow.controller.devices = {pairedInJanuary("new", "Tab", 9), pairedInJanuary("o1", "Tab", 5)};
    const Removal confirmed = flow.bulk("Tab");
    flow.controller.devices.push_back(pairedInJanuary("o2", "Tab", 4));  // paired meanwhile
    flow.removal.remove(confirmed);
    EXPECT_TRUE(flow.controller.revoked.empty());
    EXPECT_FALSE(flow.removal.busy());
    EXPECT_EQ(flow.removal.result(), (DeviceRemoval::Result{"記録が更新されました。もう一度確認してください", false}));
    // The group gone altogether is stale too.
    flow.controller.devices.clear();
    flow.removal.remove(confirmed);
    EXPECT_TRUE(flow.controller.revoked.empty());
}

TEST(DeviceRemovalTest, FocusAfterSingleRemovals) {
    struct Case {
        const char* name;
        std::vector<DeviceRecord> devices;
        std::vector<std::string> expanded;
        std::string removed;
        bool succeeds;
        std::string focus;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"the only record: the code button", {pairedInJanuary("a", "A", 1)}, {}, "a", true, "", "端末を削除しました"},
        {"latest of a group: the record that becomes latest",
         {pairedInJanuary("t2", "Tab", 5), pairedInJanuary("t1", "Tab", 4), pairedInJanuary("z", "Z", 1)},
         {},
         "t2",
         true,
         "t1",
         "端末を削除しました"},
        {"the last record: the first one",
         {pairedInJanuary("a", "A", 5), pairedInJanuary("b", "B", 1)},
         {},
         "b",
         true,
         "a",
         "端末を削除しました"},
        {"an older record: the one after it",
         {pairedInJanuary("t2", "Tab", 5), pairedInJanuary("t1", "Tab", 4), pairedInJanuary("z", "Z", 1)},
         {"Tab"},
         "t1",
         true,
         "z",
         "端末を削除しました"},
        {"a failure keeps the focus on it",
         {pairedInJanuary("a", "A", 5), pairedInJanuary("b", "B", 1)},
         {},
         "a",
         false,
         "a",
         "端末を削除できませんでした"},
    };
    for (const auto& each : cases) {
        Flow flow;
        flow.controller.devices = each.devices;
        flow.expanded = each.expanded;
        flow.removal.remove(flow.single(each.removed));
        flow.controller.answer(each.succeeds);
        ASSERT_EQ(flow.finished.size(), 1u) << each.name;
        EXPECT_EQ(flow.finished[0].first, each.focus) << each.name;
        EXPECT_EQ(flow.finished[0].second, each.text) << each.name;
        EXPECT_EQ(flow.removal.result()->success, each.succeeds) << each.name;
    }
}

TEST(DeviceRemovalTest, CompletionsAfterTheSectionIsGoneAreDropped) {
    FakeController controller;
    controller.devices = {pairedInJanuary("a", "A", 1)};
    {
        DeviceRemoval removal(
            [&](const std::string& id, std::function<void(bool)> done) {
                controller.pending.emplace_back(id, std::move(done));
            },
            [&] { return controller.devices; }, [] { return std::vector<std::string>{}; });
        removal.onFinished = [](const std::string&, const std::string&) { FAIL() << "finished after destruction"; };
        removal.remove({"A", controller.devices, false, std::nullopt});
    }
    controller.answer(true);
}

}  // namespace
}  // namespace orvanta::host::ui
