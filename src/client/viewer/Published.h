// One published value of the client model: read by the screens, observed field by field, assigned
// by the model alone on the main executor. Observers hear only real changes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace orvanta::client {

// Ends an observation when destroyed or cancelled; safe after the observed value is gone.
class Subscription {
public:
    Subscription() = default;
    explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    ~Subscription() { cancel(); }
    Subscription(Subscription&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            cancel();
            cancel_ = std::exchange(other.cancel_, nullptr);
        }
        return *this;
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

    void cancel() {
        if (auto cancel = std::exchange(cancel_, nullptr)) cancel();
    }

private:
    std::function<void()> cancel_;
};

template <class T>
class Published {
public:
    using Observer = std::function<void(const T&)>;

    explicit Published(T initial = T()) : value_(std::move(initial)) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& operator()() const { return value_; }

    // `onChange` runs after every change, with the new value. It may end its own or another
    // observation while it runs.
    [[nodiscard]] Subscription observe(Observer onChange) const {
        const auto id = observers_->next++;
        observers_->byId.emplace(id, std::make_shared<Observer>(std::move(onChange)));
        return Subscription([weak = std::weak_ptr<Observers>(observers_), id] {
            if (auto observers = weak.lock()) observers->byId.erase(id);
        });
    }

    // Stores the value and says whether it changed; the observers are told by notify(), so that
    // several fields can change before anyone hears of one.
    bool store(T value) {
        if (value_ == value) return false;
        value_ = std::move(value);
        return true;
    }
    void notify() const {
        std::vector<std::weak_ptr<Observer>> current;
        for (const auto& [id, observer] : observers_->byId) current.push_back(observer);
        for (const auto& weak : current) {
            if (auto observer = weak.lock()) (*observer)(value_);
        }
    }
    // Stores and tells; true when the value changed.
    bool assign(T value) {
        if (!store(std::move(value))) return false;
        notify();
        return true;
    }

private:
    struct Observers {
        std::map<std::uint64_t, std::shared_ptr<Observer>> byId;
        std::uint64_t next = 1;
    };

    T value_;
    std::shared_ptr<Observers> observers_ = std::make_shared<Observers>();
};

}  // namespace orvanta::client
