#include "client/directory/HostListStore.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <set>

#include "base/Json.h"
#include "base/Url.h"
#include "base/Utf8.h"
#include "base/Uuid.h"

namespace orvanta::client {
namespace {

using Kind = HostListStore::Kind;
using Entry = HostListStore::Entry;

struct KindName {
    Kind kind;
    std::string_view raw;
    std::string_view label;
};

constexpr std::array<KindName, 3> kKindNames = {{
    {Kind::mac, "mac", "Mac"},
    {Kind::windows, "windows", "Windows"},
    {Kind::ios, "ios", "iPad／iPhone"},  // a full-width solidus
}};

constexpr std::string_view kHostTokenAccountPrefix = "host-token.";
constexpr std::string_view kEntriesMember = "entries";

// The stored list is {"entries": [...]}, each entry's members in this fixed order, optional
// members left out when absent.
std::expected<base::Bytes, HostListEncodingError> encodeList(const std::vector<Entry>& entries) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Entry& entry : entries) {
        for (const std::string* text :
             {&entry.id, &entry.displayName, &entry.baseURL, &entry.hostId, &entry.tokenAccount}) {
            if (!base::isValidUtf8(*text)) return std::unexpected(HostListEncodingError{"text that is not UTF-8"});
        }
        if (entry.lastRole && !base::isValidUtf8(*entry.lastRole)) {
            return std::unexpected(HostListEncodingError{"text that is not UTF-8"});
        }
        if (entry.displayAspectScale && !std::isfinite(*entry.displayAspectScale)) {
            return std::unexpected(HostListEncodingError{"a display aspect scale that is not finite"});
        }
        nlohmann::ordered_json item;
        item["id"] = entry.id;
        item["displayName"] = entry.displayName;
        item["baseURL"] = entry.baseURL;
        item["hostId"] = entry.hostId;
        item["kind"] = HostListStore::rawValue(entry.kind);
        if (entry.lastRole) item["lastRole"] = *entry.lastRole;
        item["tokenAccount"] = entry.tokenAccount;
        if (entry.displayAspectFit) item["displayAspectFit"] = *entry.displayAspectFit;
        if (entry.displayAspectScale) item["displayAspectScale"] = *entry.displayAspectScale;
        list.push_back(std::move(item));
    }
    nlohmann::ordered_json document;
    document[kEntriesMember] = std::move(list);
    return base::toBytes(document.dump());
}

base::JsonResult<Entry> readEntry(const base::Json& object) {
    base::JsonObjectReader r(object);
    Entry entry;
    entry.id = r.required<std::string>("id");
    entry.displayName = r.required<std::string>("displayName");
    entry.baseURL = r.required<std::string>("baseURL");
    entry.hostId = r.required<std::string>("hostId");
    auto kind = r.required<std::string>("kind");
    entry.lastRole = r.optional<std::string>("lastRole");
    entry.tokenAccount = r.required<std::string>("tokenAccount");
    entry.displayAspectFit = r.optional<bool>("displayAspectFit");
    entry.displayAspectScale = r.optional<double>("displayAspectScale");
    if (!r.failed()) {
        if (auto parsed = HostListStore::kindFromRawValue(kind)) {
            entry.kind = *parsed;
        } else {
            r.setError({base::JsonError::Kind::dataCorrupted, "kind", kind});
        }
    }
    return r.finish(std::move(entry));
}

// The whole list, or nothing when any part of it is unreadable.
std::optional<std::vector<Entry>> decodeList(const base::Bytes& data) {
    auto document = base::parseJsonObject(base::asText(data));
    if (!document) return std::nullopt;
    auto list = document->find(kEntriesMember);
    if (list == document->end() || !list->is_array()) return std::nullopt;
    std::vector<Entry> entries;
    for (const auto& object : *list) {
        auto entry = readEntry(object);
        if (!entry) return std::nullopt;
        entries.push_back(std::move(*entry));
    }
    return entries;
}

bool accountInUse(const std::vector<Entry>& entries, const std::string& account) {
    return std::ranges::find(entries, account, &Entry::tokenAccount) != entries.end();
}

bool isNumericLiteral(std::string_view host) {
    return std::ranges::all_of(host, [](char c) { return (c >= '0' && c <= '9') || c == '.' || c == ':'; });
}

}  // namespace

std::string describe(const HostListError& error) {
    if (const auto* vault = std::get_if<base::SecretStoreError>(&error)) return vault->description();
    return "ホスト一覧を保存できませんでした。";
}

std::string_view HostListStore::rawValue(Kind kind) {
    return std::ranges::find(kKindNames, kind, &KindName::kind)->raw;
}

std::optional<HostListStore::Kind> HostListStore::kindFromRawValue(std::string_view raw) {
    auto it = std::ranges::find(kKindNames, raw, &KindName::raw);
    if (it == kKindNames.end()) return std::nullopt;
    return it->kind;
}

std::string_view HostListStore::label(Kind kind) { return std::ranges::find(kKindNames, kind, &KindName::kind)->label; }

HostListStore::HostListStore(std::shared_ptr<base::Settings> defaults, std::shared_ptr<TokenVault> vault,
                             bool migratesLegacy)
    : defaults_(std::move(defaults)), vault_(std::move(vault)) {
    load();
    if (defaults_->boolean(kUitestResetKey).value_or(false)) removeAll();
    if (migratesLegacy) migrateIfNeeded();
}

void HostListStore::load() {
    // An unreadable list is left stored as it is: only a change of the list replaces it.
    auto data = defaults_->data(kEntriesKey);
    auto decoded = data ? decodeList(*data) : std::nullopt;
    entries_ = decoded ? std::move(*decoded) : std::vector<Entry>{};

    auto stored = defaults_->string(kSelectedKey);
    if (stored && find(*stored) != entries_.end()) {
        selectedId_ = stored;
    } else {
        selectedId_ = entries_.empty() ? std::nullopt : std::optional(entries_.front().id);
    }
}

void HostListStore::save() {
    if (auto data = encodeList(entries_)) defaults_->set(kEntriesKey, std::move(*data));
    writeSelection(selectedId_);
}

void HostListStore::writeSelection(const std::optional<std::string>& selection) {
    if (selection) {
        defaults_->set(kSelectedKey, *selection);
    } else {
        defaults_->remove(kSelectedKey);
    }
}

void HostListStore::notify() {
    std::vector<ObserverId> ids;
    for (const auto& [id, observer] : observers_) ids.push_back(id);
    // An observer may remove itself or another one; a removed observer is not called.
    for (ObserverId id : ids) {
        auto it = observers_.find(id);
        if (it == observers_.end()) continue;
        auto observer = it->second;
        observer();
    }
}

HostListStore::ObserverId HostListStore::observe(std::function<void()> onChange) {
    observers_.emplace(nextObserverId_, std::move(onChange));
    return nextObserverId_++;
}

void HostListStore::removeObserver(ObserverId id) { observers_.erase(id); }

std::vector<Entry>::iterator HostListStore::find(const std::string& id) {
    return std::ranges::find(entries_, id, &Entry::id);
}

std::optional<Entry> HostListStore::selected() const {
    if (!selectedId_) return std::nullopt;
    auto it = std::ranges::find(entries_, *selectedId_, &Entry::id);
    if (it == entries_.end()) return std::nullopt;
    return *it;
}

void HostListStore::select(const std::string& id) {
    if (find(id) == entries_.end()) return;
    selectedId_ = id;
    save();
    notify();
}

std::expected<Entry, HostListError> HostListStore::addOrUpdate(const std::string& baseURL, const std::string& token,
                                                               const std::string& hostId, Kind kind) {
    auto match = entries_.end();
    if (!hostId.empty()) match = std::ranges::find(entries_, hostId, &Entry::hostId);
    if (match == entries_.end()) match = std::ranges::find(entries_, baseURL, &Entry::baseURL);

    std::vector<Entry> updated = entries_;
    Entry entry;
    if (match != entries_.end()) {
        entry = *match;
        entry.baseURL = baseURL;
        entry.hostId = hostId;
        entry.kind = kind;
        entry.displayName = displayName(baseURL);
        updated[static_cast<std::size_t>(match - entries_.begin())] = entry;
    } else {
        entry.id = base::makeUuidString();
        entry.displayName = displayName(baseURL);
        entry.baseURL = baseURL;
        entry.hostId = hostId;
        entry.kind = kind;
        entry.tokenAccount = std::string(kHostTokenAccountPrefix) + entry.id;
        updated.push_back(entry);
    }

    // Nothing may change before both the list can be written and the vault holds the token.
    auto data = encodeList(updated);
    if (!data) return std::unexpected(data.error());
    if (auto saved = vault_->save(base::asBytes(token), entry.tokenAccount); !saved) {
        return std::unexpected(saved.error());
    }

    entries_ = std::move(updated);
    selectedId_ = entry.id;
    defaults_->set(kEntriesKey, std::move(*data));
    writeSelection(selectedId_);
    notify();
    return entry;
}

void HostListStore::remove(const std::string& id) {
    auto it = find(id);
    if (it == entries_.end()) return;
    Entry removed = *it;
    entries_.erase(it);
    if (!accountInUse(entries_, removed.tokenAccount)) (void)vault_->remove(removed.tokenAccount);
    if (selectedId_ == removed.id) selectedId_ = entries_.empty() ? std::nullopt : std::optional(entries_.front().id);
    save();
    notify();
}

std::expected<bool, HostListError> HostListStore::removeReportingFailure(const std::string& id) {
    auto it = find(id);
    if (it == entries_.end()) return false;
    const Entry removed = *it;
    std::vector<Entry> remaining;
    std::ranges::copy_if(entries_, std::back_inserter(remaining), [&](const Entry& e) { return e.id != id; });

    auto data = encodeList(remaining);
    if (!data) return std::unexpected(data.error());
    if (!accountInUse(remaining, removed.tokenAccount)) {
        if (auto gone = vault_->remove(removed.tokenAccount); !gone) return std::unexpected(gone.error());
    }
    auto selection = selectedId_;
    if (selection == id) selection = remaining.empty() ? std::nullopt : std::optional(remaining.front().id);

    defaults_->set(kEntriesKey, std::move(*data));
    writeSelection(selection);
    entries_ = std::move(remaining);
    selectedId_ = std::move(selection);
    notify();
    return true;
}

void HostListStore::removeAll() {
    std::set<std::string> accounts{std::string(kLegacyTokenAccount)};
    for (const Entry& entry : entries_) accounts.insert(entry.tokenAccount);
    for (const std::string& account : accounts) (void)vault_->remove(account);
    entries_.clear();
    selectedId_.reset();
    save();
    defaults_->set(kMigratedKey, true);
    notify();
}

void HostListStore::migrateIfNeeded() {
    if (!entries_.empty()) return;
    if (defaults_->boolean(kMigratedKey).value_or(false)) return;
    // A stored list that could not be read would be overwritten by the migrated one; it stays, and
    // the migration waits until the list is readable or was changed.
    if (defaults_->contains(kEntriesKey) && !decodeList(defaults_->data(kEntriesKey).value_or(base::Bytes{}))) return;

    auto token = vault_->load(std::string(kLegacyTokenAccount));
    if (!token) return;
    auto url = defaults_->string(kLegacyPairedBaseURLKey);
    if (!url) url = defaults_->string(kLegacyBaseURLKey);

    if (url && !url->empty() && *token && !(*token)->empty()) {
        Entry entry;
        entry.id = base::makeUuidString();
        entry.displayName = displayName(*url);
        entry.baseURL = *url;
        entry.hostId = defaults_->string(kLegacyHostIdKey).value_or("");
        entry.kind = Kind::mac;
        entry.lastRole = defaults_->string(kLegacyLastRoleKey);
        entry.tokenAccount = std::string(kLegacyTokenAccount);
        entries_ = {entry};
        selectedId_ = entry.id;
        save();
        defaults_->remove(kLegacyLastRoleKey);
        notify();
    }
    defaults_->set(kMigratedKey, true);
}

std::expected<std::optional<std::string>, base::SecretStoreError> HostListStore::token(const Entry& entry) const {
    auto data = vault_->load(entry.tokenAccount);
    if (!data) return std::unexpected(data.error());
    if (!*data) return std::nullopt;
    std::string text(base::asText(**data));
    if (text.empty() || !base::isValidUtf8(text)) return std::nullopt;
    return text;
}

void HostListStore::setDisplayAspect(std::optional<bool> fit, std::optional<double> scale,
                                     const std::optional<std::string>& id) {
    if (!id) return;
    auto it = find(*id);
    if (it == entries_.end()) return;
    Entry changed = *it;
    if (fit) changed.displayAspectFit = fit;
    if (scale && std::isfinite(*scale)) changed.displayAspectScale = scale;
    if (changed == *it) return;
    *it = std::move(changed);
    save();
    notify();
}

void HostListStore::setLastRole(const std::string& role, const std::optional<std::string>& id) {
    if (!id) return;
    auto it = find(*id);
    if (it == entries_.end() || it->lastRole == role) return;
    it->lastRole = role;
    save();
    notify();
}

std::optional<std::string> HostListStore::lastRole(const std::optional<std::string>& id) const {
    if (!id) return std::nullopt;
    auto it = std::ranges::find(entries_, *id, &Entry::id);
    if (it == entries_.end()) return std::nullopt;
    return it->lastRole;
}

std::string HostListStore::displayName(std::string_view urlText) {
    std::string trimmed(base::trimWhitespace(urlText));
    auto url = base::Url::parse(trimmed);
    if (!url) return trimmed;
    auto host = url->decodedHost();
    if (!host || host->empty()) return trimmed;
    if (isNumericLiteral(*host) || host->starts_with('[')) return *host;
    std::string_view rest = *host;
    while (rest.starts_with('.')) rest.remove_prefix(1);
    return std::string(rest.substr(0, rest.find('.')));
}

}  // namespace orvanta::client
