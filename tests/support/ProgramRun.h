// A whole program run as a user would run it, for tests and benchmarks: a fresh user's folders to
// start it in, waiting for what it does, whether it listens and how it ended.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace orvanta::testing {

// The loopback port the program listens on.
inline constexpr std::uint16_t kProgramLoopbackPort = 8766;

// Whether `done` holds within `limit`, asked every `poll`.
template <class F>
bool waitUntil(F done, std::chrono::milliseconds limit,
               std::chrono::milliseconds poll = std::chrono::milliseconds(50)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(poll);
    }
    return done();
}

// Whether something accepts connections on the loopback port.
inline bool acceptsOnLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr generic{};
    std::memcpy(&generic, &address, sizeof address);
    const bool accepted = ::connect(fd, &generic, sizeof address) == 0;
    ::close(fd);
    return accepted;
}

// Our own child has ended and is reaped here; its exit status (128 + the signal when a signal ended
// it), or nothing after `limit`.
inline std::optional<int> exitedWithin(pid_t pid, std::chrono::milliseconds limit) {
    int status = 0;
    if (!waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit)) return std::nullopt;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A fresh user, removed with everything in it: a home with a short path (local socket paths inside
// it must stay under 108 bytes) holding the user's own folders, so that two instances started with
// two users are strangers to each other.
class FreshUser {
public:
    // The home is /tmp/orv-<tag>-XXXXXX; empty when it could not be made.
    explicit FreshUser(std::string_view tag) {
        std::string name = "/tmp/orv-" + std::string(tag) + "-XXXXXX";
        if (::mkdtemp(name.data())) home_ = name;
    }
    ~FreshUser() {
        std::error_code ignored;
        std::filesystem::remove_all(home_, ignored);
    }
    FreshUser(const FreshUser&) = delete;
    FreshUser& operator=(const FreshUser&) = delete;

    const std::filesystem::path& home() const { return home_; }

    // "XDG_CONFIG_HOME=…" and the like for the user's own folders, each made and private to them.
    std::vector<std::string> folders() const {
        std::vector<std::string> environment;
        for (const std::string name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"}) {
            const auto folder = home_ / (name == "XDG_RUNTIME_DIR" ? "run" : name);
            std::filesystem::create_directories(folder);
            std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
            environment.push_back(name + "=" + folder.string());
        }
        return environment;
    }

private:
    std::filesystem::path home_;
};

}  // namespace orvanta::testing

// The program listens on the standard loopback port; another program on this machine may hold it,
// and a client would then pair with that one. Skips the test (fails it under CI); the test includes
// support/XvfbFixture.h for that.
#define ORVANTA_REQUIRE_FREE_PROGRAM_PORT()                                                        \
    if (::orvanta::testing::acceptsOnLoopback(::orvanta::testing::kProgramLoopbackPort)) {         \
        ::orvanta::testing::skipOrFailWithoutService("another program listens on 127.0.0.1:8766"); \
        return;                                                                                    \
    }
