#include "host/ui/DeviceRemoval.h"

#include <algorithm>

namespace orvanta::host::ui {
namespace {

std::set<std::string> idsOf(const std::vector<DeviceRecord>& records) {
    std::set<std::string> ids;
    for (const DeviceRecord& record : records) ids.insert(record.deviceId);
    return ids;
}

const DeviceGroup* groupNamed(const std::vector<DeviceGroup>& groups, const std::string& name) {
    const auto found = std::find_if(groups.begin(), groups.end(), [&](const DeviceGroup& g) { return g.id == name; });
    return found == groups.end() ? nullptr : &*found;
}

}  // namespace

struct DeviceRemoval::Run {
    Removal removal;
    std::vector<std::string> ids;
    bool latestOfGroup = false;       // a single removal of its group's latest record
    std::optional<std::string> next;  // the visible record after the first one removed
    std::vector<std::string> failed;
    bool lastSucceeded = false;
};

DeviceRemoval::DeviceRemoval(Revoke revoke, std::function<std::vector<DeviceRecord>()> devices,
                             std::function<std::vector<std::string>()> expanded)
    : revoke_(std::move(revoke)), devices_(std::move(devices)), expanded_(std::move(expanded)) {}

void DeviceRemoval::remove(const Removal& removal) {
    if (busy() || removal.records.empty()) return;
    const auto groups = orderedGroups(devices_());
    const DeviceGroup* current = groupNamed(groups, removal.name);
    auto run = std::make_shared<Run>();
    run->removal = removal;
    for (const DeviceRecord& record : removal.records) run->ids.push_back(record.deviceId);

    if (removal.bulk && idsOf(current ? current->older : std::vector<DeviceRecord>{}) != idsOf(removal.records)) {
        core_->result = Result{std::string(kStaleRemoval), false};
        changed();
        return;
    }
    run->latestOfGroup = !removal.bulk && current && current->latest.deviceId == run->ids.front();
    const auto visible = visibleRecordIds(groups, expanded_());
    const auto first = std::find(visible.begin(), visible.end(), run->ids.front());
    if (first != visible.end() && first + 1 != visible.end()) run->next = *(first + 1);

    core_->removing.insert(run->ids.begin(), run->ids.end());
    changed();
    for (const std::string& id : run->ids) {
        revoke_(id, [this, alive = std::weak_ptr<Core>(core_), run, id](bool succeeded) {
            const auto core = alive.lock();
            if (!core) return;
            if (!succeeded) run->failed.push_back(id);
            run->lastSucceeded = succeeded;
            core->removing.erase(id);
            if (core->removing.empty()) finish(*run);
        });
    }
}

void DeviceRemoval::finish(const Run& run) {
    const Removal& removal = run.removal;
    const auto count = std::to_string(run.ids.size());
    std::string text;
    if (removal.bulk && !run.failed.empty()) {
        text = count + "件中" + std::to_string(run.failed.size()) + "件を削除できませんでした";
    } else if (removal.bulk) {
        text = "以前の記録 " + count + "件を削除しました";
    } else {
        text = run.lastSucceeded ? "端末を削除しました" : "端末を削除できませんでした";
    }
    core_->result = Result{text, run.failed.empty()};

    const auto groups = orderedGroups(devices_());
    std::optional<std::string> target;
    if (!run.failed.empty()) {
        target = run.failed.front();
    } else if (removal.bulk || run.latestOfGroup) {
        const DeviceGroup* now = groupNamed(groups, removal.name);
        target = now ? std::optional(now->latest.deviceId) : run.next;
    } else {
        target = run.next;
    }
    const auto visible = visibleRecordIds(groups, expanded_());
    std::string focus;
    if (target && std::find(visible.begin(), visible.end(), *target) != visible.end()) {
        focus = *target;
    } else if (!visible.empty()) {
        focus = visible.front();
    }
    changed();
    if (onFinished) onFinished(focus, text);
}

void DeviceRemoval::changed() const {
    if (onChange) onChange();
}

}  // namespace orvanta::host::ui
