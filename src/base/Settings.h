// The user's settings: typed values by key, with registered defaults and change notification.
// One Settings object is one named set of settings (the standard one or a suite).
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/Bytes.h"

namespace orvanta::base {

struct SettingsValue;
using SettingsArray = std::vector<SettingsValue>;
using SettingsDictionary = std::map<std::string, SettingsValue, std::less<>>;

// One stored value: a boolean, integer, real number, text, data, or an array or dictionary of values.
struct SettingsValue {
    using Storage = std::variant<bool, std::int64_t, double, std::string, Bytes, SettingsArray, SettingsDictionary>;
    Storage storage;

    SettingsValue(bool value) : storage(value) {}
    template <std::integral T>
        requires(!std::same_as<T, bool>)
    SettingsValue(T value) : storage(static_cast<std::int64_t>(value)) {}
    SettingsValue(double value) : storage(value) {}
    SettingsValue(std::string value) : storage(std::move(value)) {}
    SettingsValue(std::string_view value) : storage(std::string(value)) {}
    SettingsValue(const char* value) : storage(std::string(value)) {}
    SettingsValue(Bytes value) : storage(std::move(value)) {}
    SettingsValue(SettingsArray value) : storage(std::move(value)) {}
    SettingsValue(SettingsDictionary value) : storage(std::move(value)) {}

    template <class T>
    const T* get() const {
        return std::get_if<T>(&storage);
    }

    bool operator==(const SettingsValue&) const = default;
};

class Settings {
public:
    using ObserverId = std::uint64_t;
    // Receives the key's new value (nothing when it was removed and no default is registered).
    using Observer = std::function<void(const std::optional<SettingsValue>&)>;

    virtual ~Settings() = default;

    // The stored value, else the registered default, else nothing.
    virtual std::optional<SettingsValue> value(std::string_view key) const = 0;
    virtual void set(std::string_view key, SettingsValue value) = 0;
    virtual void remove(std::string_view key) = 0;
    // Defaults are read where nothing is stored and never written; a later registration of a key
    // replaces the earlier one.
    virtual void registerDefaults(const SettingsDictionary& defaults) = 0;

    // `observer` runs after every change of the key's value, on the thread that made the change and
    // outside every lock, so it may read and write settings. After removeObserver returns no new call
    // starts, but one already running on another thread may still finish.
    virtual ObserverId observe(std::string_view key, Observer observer) = 0;
    virtual void removeObserver(ObserverId id) = 0;

    // Typed reads: nothing when the key holds no value or one of another type.
    bool contains(std::string_view key) const { return value(key).has_value(); }
    std::optional<bool> boolean(std::string_view key) const { return typed<bool>(key); }
    std::optional<std::int64_t> integer(std::string_view key) const { return typed<std::int64_t>(key); }
    std::optional<std::string> string(std::string_view key) const { return typed<std::string>(key); }
    std::optional<Bytes> data(std::string_view key) const { return typed<Bytes>(key); }
    std::optional<SettingsArray> array(std::string_view key) const { return typed<SettingsArray>(key); }
    std::optional<SettingsDictionary> dictionary(std::string_view key) const { return typed<SettingsDictionary>(key); }
    // Integers read as real numbers too.
    std::optional<double> real(std::string_view key) const {
        auto stored = value(key);
        if (!stored) return std::nullopt;
        if (const auto* number = stored->get<double>()) return *number;
        if (const auto* number = stored->get<std::int64_t>()) return static_cast<double>(*number);
        return std::nullopt;
    }

private:
    template <class T>
    std::optional<T> typed(std::string_view key) const {
        auto stored = value(key);
        if (!stored) return std::nullopt;
        if (auto* typedValue = std::get_if<T>(&stored->storage)) return std::move(*typedValue);
        return std::nullopt;
    }
};

}  // namespace orvanta::base
