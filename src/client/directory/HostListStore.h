// The client's directory of paired hosts: the ordered list and the selected host, stored in the
// settings as one JSON document and one text, with each host's device token kept in a TokenVault.
// Used from the main thread only.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/SecretStore.h"
#include "base/Settings.h"
#include "client/directory/CredentialStore.h"

namespace orvanta::client {

// The list could not be written (text that is not UTF-8, a number that is not finite).
struct HostListEncodingError {
    std::string detail;
    bool operator==(const HostListEncodingError&) const = default;
};

using HostListError = std::variant<base::SecretStoreError, HostListEncodingError>;

// The text shown to the user.
std::string describe(const HostListError& error);

class HostListStore {
public:
    enum class Kind { mac, windows, ios };
    // Declaration order, as the kind picker lists them.
    static constexpr std::array<Kind, 3> kAllKinds = {Kind::mac, Kind::windows, Kind::ios};
    static std::string_view rawValue(Kind kind);
    static std::optional<Kind> kindFromRawValue(std::string_view raw);
    static std::string_view label(Kind kind);

    struct Entry {
        std::string id;           // upper-case UUID, fixed at creation
        std::string displayName;  // displayName(for: baseURL)
        std::string baseURL;      // as given at pairing
        std::string hostId;       // from the pairing reply; empty for a migrated entry without one
        Kind kind = Kind::mac;
        std::optional<std::string> lastRole;  // "main" or "controller"
        std::string tokenAccount;             // "host-token." + id, or "device-token" when migrated
        std::optional<bool> displayAspectFit;
        std::optional<double> displayAspectScale;
        bool operator==(const Entry&) const = default;
    };

    static constexpr std::string_view kEntriesKey = "lumicrate.hosts";
    static constexpr std::string_view kSelectedKey = "lumicrate.selectedHostId";
    static constexpr std::string_view kMigratedKey = "lumicrate.hostsMigrated";
    static constexpr std::string_view kUitestResetKey = "lumicrate.uitestResetHosts";
    static constexpr std::string_view kLegacyTokenAccount = "device-token";
    static constexpr std::string_view kLegacyPairedBaseURLKey = "zq2.pairedBaseURL";
    static constexpr std::string_view kLegacyBaseURLKey = "zq2.baseURL";
    static constexpr std::string_view kLegacyHostIdKey = "zq2.hostId";
    static constexpr std::string_view kLegacyLastRoleKey = "lumicrate.lastRole";

    // Loads the stored list and selection (an unreadable list opens empty and stays stored until
    // the list is changed), empties the directory while the reset flag is set, and migrates the
    // legacy single host when asked. Never fails.
    HostListStore(std::shared_ptr<base::Settings> defaults, std::shared_ptr<TokenVault> vault, bool migratesLegacy);

    HostListStore(const HostListStore&) = delete;
    HostListStore& operator=(const HostListStore&) = delete;

    const std::vector<Entry>& entries() const { return entries_; }
    bool isEmpty() const { return entries_.empty(); }
    const std::optional<std::string>& selectedId() const { return selectedId_; }
    std::optional<Entry> selected() const;

    // Change notification: the observer runs after every change of entries() or selectedId().
    using ObserverId = std::uint64_t;
    ObserverId observe(std::function<void()> onChange);
    void removeObserver(ObserverId id);

    // Selects and stores the entry with this id; an unknown id is ignored.
    void select(const std::string& id);

    // Stores a freshly paired host, updating the entry of the same hostId, else of the same baseURL,
    // else appending one; saves its token first, selects it and stores the list. On an error nothing
    // has changed.
    std::expected<Entry, HostListError> addOrUpdate(const std::string& baseURL, const std::string& token,
                                                    const std::string& hostId, Kind kind);

    // Removes the entry and, unless another entry shares it, its token; failures are ignored.
    void remove(const std::string& id);
    // As remove, but persists first and reports a failure, after which nothing has changed. False
    // when no entry has the id.
    std::expected<bool, HostListError> removeReportingFailure(const std::string& id);
    // Forgets every host and token, the legacy token included, and marks the migration done.
    void removeAll();

    // Turns the legacy single-host settings into one entry, once.
    void migrateIfNeeded();

    // The entry's token; nothing when none is stored or it is not a non-empty UTF-8 text.
    std::expected<std::optional<std::string>, base::SecretStoreError> token(const Entry& entry) const;

    // Stores each given value on the entry; stores only when the entry changed. A scale that is not
    // finite is not taken: it could not be written and would stop every later save of the list.
    void setDisplayAspect(std::optional<bool> fit, std::optional<double> scale, const std::optional<std::string>& id);
    void setLastRole(const std::string& role, const std::optional<std::string>& id);
    std::optional<std::string> lastRole(const std::optional<std::string>& id) const;

    // The name shown for a base URL: the first label of a host name, a whole address literal, or
    // the trimmed text itself when it names no host.
    static std::string displayName(std::string_view urlText);

private:
    void load();
    void save();
    void writeSelection(const std::optional<std::string>& selection);
    void notify();
    std::vector<Entry>::iterator find(const std::string& id);

    std::shared_ptr<base::Settings> defaults_;
    std::shared_ptr<TokenVault> vault_;
    std::vector<Entry> entries_;
    std::optional<std::string> selectedId_;
    std::map<ObserverId, std::function<void()>> observers_;
    ObserverId nextObserverId_ = 1;
};

}  // namespace orvanta::client
