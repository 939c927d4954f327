// The automation's sequence and checks are written as coroutines on the main executor: each wait
// suspends the coroutine and a task of the executor resumes it, so the main thread never blocks and
// tests drive the waits on virtual time. A resumption checks a liveness token first; the owner
// destroys unfinished frames when it goes, so nothing resumes into freed memory.
#pragma once

#include <coroutine>
#include <exception>
#include <memory>
#include <utility>

#include "base/Executor.h"

namespace orvanta::debug {

// A lazily started coroutine that resumes its awaiter when it finishes. Destroying it destroys its
// frame, and with it every frame it awaits.
class [[nodiscard]] Async {
public:
    struct promise_type {
        std::coroutine_handle<> continuation;

        Async get_return_object() { return Async(std::coroutine_handle<promise_type>::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        auto final_suspend() noexcept {
            struct Resume {
                bool await_ready() noexcept { return false; }
                std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> done) noexcept {
                    auto next = done.promise().continuation;
                    return next ? next : std::noop_coroutine();
                }
                void await_resume() noexcept {}
            };
            return Resume{};
        }
        void return_void() {}
        void unhandled_exception() { std::terminate(); }
    };

    Async(Async&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Async& operator=(Async&& other) noexcept {
        if (this != &other) {
            if (handle_) handle_.destroy();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    ~Async() {
        if (handle_) handle_.destroy();
    }

    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
        handle_.promise().continuation = awaiting;
        return handle_;
    }
    void await_resume() const noexcept {}

    // For the owner of a top-level run: the frame to start, and whether it has finished.
    std::coroutine_handle<> handle() const { return handle_; }
    bool done() const { return !handle_ || handle_.done(); }

private:
    explicit Async(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
    std::coroutine_handle<promise_type> handle_;
};

// Resumes a suspended coroutine from a later task of `executor`, unless the owner behind `alive`
// has gone meanwhile (it then destroyed the frame).
inline void resumeLater(base::Executor& executor, std::weak_ptr<void> alive, std::coroutine_handle<> handle,
                        base::Micros delay = base::Micros{0}) {
    auto resume = [alive = std::move(alive), handle] {
        if (alive.lock()) handle.resume();
    };
    if (delay.count() > 0) {
        executor.asyncAfter(delay, std::move(resume));
    } else {
        executor.async(std::move(resume));
    }
}

// Suspends the awaiting coroutine for `delay` on `executor`.
struct Sleep {
    base::Executor& executor;
    std::weak_ptr<void> alive;
    base::Micros delay;

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) { resumeLater(executor, alive, handle, delay); }
    void await_resume() const noexcept {}
};

}  // namespace orvanta::debug
