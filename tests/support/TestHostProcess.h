// The test-host program as a child process: the real host on the X display and PulseAudio server
// of this process's environment, with its own data and settings folders, on ephemeral ports, with
// the debug pairing-code file. Stopped with SIGTERM; the exit status says whether it shut down cleanly.
#pragma once

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <expected>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/JsonFileSettings.h"
#include "support/ChildProcess.h"

namespace orvanta::testing {

class TestHostProcess {
public:
    static constexpr auto kStartWait = std::chrono::seconds(20);

    // `program` is the test-host binary; `home` an empty folder of the caller's that outlives the host.
    static std::expected<std::unique_ptr<TestHostProcess>, std::string> start(
        const std::string& program, const std::filesystem::path& home, std::vector<std::string> environment = {}) {
        std::filesystem::create_directories(home / "runtime");
        std::filesystem::permissions(home / "runtime", std::filesystem::perms::owner_all);
        const auto pairFile = home / "pair-code";
        environment.insert(
            environment.end(),
            {"XDG_DATA_HOME=" + (home / "data").string(), "XDG_CONFIG_HOME=" + (home / "config").string(),
             "XDG_STATE_HOME=" + (home / "state").string(), "ZQ2_DEBUG_PAIR_FILE=" + pairFile.string()});
        const auto log = home / "test-host.log";
        auto pid = startChild({.argv = {program, "--loopback-port", "0", "--lan-port", "0"},
                               .extraEnvironment = environment,
                               .logPath = log.string()});
        if (!pid) return std::unexpected(pid.error());
        std::unique_ptr<TestHostProcess> host(new TestHostProcess(*pid, log));
        const auto deadline = std::chrono::steady_clock::now() + kStartWait;
        while (std::chrono::steady_clock::now() < deadline) {
            host->readPorts();
            if (host->loopbackPort_ && std::filesystem::exists(pairFile)) {
                std::ifstream(pairFile) >> host->pairCode_;
                if (!host->pairCode_.empty()) return host;
            }
            if (host->exited()) return std::unexpected("test-host ended: " + host->output());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return std::unexpected("test-host did not start listening: " + host->output());
    }

    // Stored settings the host of `home` starts from.
    static void storeSetting(const std::filesystem::path& home, std::string_view key, base::SettingsValue value) {
        base::JsonFileSettings::openStandard(home / "config" / "orvanta")->set(key, std::move(value));
    }

    ~TestHostProcess() {
        if (pid_ > 0) stopChild(pid_);
    }
    TestHostProcess(const TestHostProcess&) = delete;
    TestHostProcess& operator=(const TestHostProcess&) = delete;

    std::uint16_t loopbackPort() const { return *loopbackPort_; }
    std::uint16_t lanPort() const { return lanPort_.value_or(0); }
    const std::string& pairCode() const { return pairCode_; }
    pid_t pid() const { return pid_; }
    std::string output() const {
        std::stringstream text;
        text << std::ifstream(log_).rdbuf();
        return text.str();
    }

    // SIGTERM, then the exit status (nothing when it did not end normally).
    std::optional<int> terminate() {
        ::kill(pid_, SIGTERM);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        if (!WIFEXITED(status)) return std::nullopt;
        return WEXITSTATUS(status);
    }

private:
    TestHostProcess(pid_t pid, std::filesystem::path log) : pid_(pid), log_(std::move(log)) {}

    void readPorts() {
        std::ifstream in(log_);
        for (std::string line; std::getline(in, line);) {
            if (line.starts_with("loopback-port=")) loopbackPort_ = std::stoi(line.substr(14));
            if (line.starts_with("lan-port=")) lanPort_ = std::stoi(line.substr(9));
        }
    }
    bool exited() {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
        pid_ = -1;
        return true;
    }

    pid_t pid_;
    std::filesystem::path log_;
    std::optional<std::uint16_t> loopbackPort_;
    std::optional<std::uint16_t> lanPort_;
    std::string pairCode_;
};

}  // namespace orvanta::testing
