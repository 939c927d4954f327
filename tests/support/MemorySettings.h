// In-memory Settings for tests, with the same default and notification rules as the file store,
// and a count of the writes it received.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "base/Settings.h"

namespace orvanta::testing {

class MemorySettings final : public base::Settings {
public:
    std::optional<base::SettingsValue> value(std::string_view key) const override {
        std::lock_guard lock(mutex_);
        return effectiveLocked(key);
    }

    void set(std::string_view key, base::SettingsValue value) override { update(key, std::move(value)); }
    void remove(std::string_view key) override { update(key, std::nullopt); }

    void registerDefaults(const base::SettingsDictionary& defaults) override {
        std::vector<Notification> notifications;
        {
            std::lock_guard lock(mutex_);
            for (const auto& [key, value] : defaults) {
                auto before = effectiveLocked(key);
                defaults_.insert_or_assign(key, value);
                collectLocked(key, before, notifications);
            }
        }
        deliver(notifications);
    }

    ObserverId observe(std::string_view key, Observer observer) override {
        std::lock_guard lock(mutex_);
        observers_.emplace(nextId_,
                           Registration{std::string(key), std::make_shared<const Observer>(std::move(observer))});
        return nextId_++;
    }

    void removeObserver(ObserverId id) override {
        std::lock_guard lock(mutex_);
        observers_.erase(id);
    }

    // Stored values only, without registered defaults.
    base::SettingsDictionary stored() const {
        std::lock_guard lock(mutex_);
        return stored_;
    }
    // Changes of stored values so far (a file store writes its file once for each).
    int writeCount() const {
        std::lock_guard lock(mutex_);
        return writes_;
    }

private:
    struct Registration {
        std::string key;
        std::shared_ptr<const Observer> observer;
    };
    using Notification = std::pair<std::shared_ptr<const Observer>, std::optional<base::SettingsValue>>;

    std::optional<base::SettingsValue> effectiveLocked(std::string_view key) const {
        if (auto it = stored_.find(key); it != stored_.end()) return it->second;
        if (auto it = defaults_.find(key); it != defaults_.end()) return it->second;
        return std::nullopt;
    }

    void collectLocked(std::string_view key, const std::optional<base::SettingsValue>& before,
                       std::vector<Notification>& out) const {
        auto after = effectiveLocked(key);
        if (after == before) return;
        for (const auto& [id, registration] : observers_) {
            if (registration.key == key) out.emplace_back(registration.observer, after);
        }
    }

    void update(std::string_view key, std::optional<base::SettingsValue> value) {
        std::vector<Notification> notifications;
        {
            std::lock_guard lock(mutex_);
            auto it = stored_.find(key);
            if (it == stored_.end() ? !value : value && it->second == *value) return;
            auto before = effectiveLocked(key);
            if (value) {
                stored_.insert_or_assign(std::string(key), std::move(*value));
            } else {
                stored_.erase(it);
            }
            ++writes_;
            collectLocked(key, before, notifications);
        }
        deliver(notifications);
    }

    static void deliver(const std::vector<Notification>& notifications) {
        for (const auto& [observer, value] : notifications) (*observer)(value);
    }

    mutable std::mutex mutex_;
    base::SettingsDictionary stored_;
    base::SettingsDictionary defaults_;
    std::map<ObserverId, Registration> observers_;
    ObserverId nextId_ = 1;
    int writes_ = 0;
};

}  // namespace orvanta::testing
