// A private Xorg with the dummy driver: sixteen outputs, one connected, and room for a screen of
// 8192x4096, which is what a machine with a spare connector looks like to RandR. Xorg needs root.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <expected>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "support/ChildProcess.h"
#include "support/XvfbFixture.h"

namespace orvanta::testing {

class XorgDummyServer {
public:
    static bool runnable() {
        return ::geteuid() == 0 && std::filesystem::exists("/usr/lib/xorg/modules/drivers/dummy_drv.so");
    }

    static std::expected<std::unique_ptr<XorgDummyServer>, std::string> start() {
        const auto dir = std::filesystem::temp_directory_path() / ("orvanta-xorg-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir / "conf.d");
        std::ofstream(dir / "xorg.conf")
            << "Section \"Device\"\n Identifier \"d\"\n Driver \"dummy\"\n VideoRam 256000\nEndSection\n"
               "Section \"Monitor\"\n Identifier \"m\"\n HorizSync 5.0-1000.0\n VertRefresh 5.0-200.0\nEndSection\n"
               "Section \"Screen\"\n Identifier \"s\"\n Device \"d\"\n Monitor \"m\"\n DefaultDepth 24\n"
               " SubSection \"Display\"\n  Depth 24\n  Virtual 8192 4096\n EndSubSection\nEndSection\n";
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected("pipe failed");
        auto pid = startChild({.argv = {"Xorg", "-displayfd", "3", "-noreset", "-novtswitch", "-sharevts", "-nolisten",
                                        "tcp", "-config", (dir / "xorg.conf").string(), "-configdir",
                                        (dir / "conf.d").string(), "-logfile", (dir / "Xorg.log").string()},
                               .extraEnvironment = {},
                               .logPath = (dir / "stdout.log").string(),
                               .passFd = fds[1]});
        ::close(fds[1]);
        if (!pid) {
            ::close(fds[0]);
            return std::unexpected(pid.error());
        }
        std::string number;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while ((number.empty() || number.back() != '\n') && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) continue;
            char buffer[16];
            const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n <= 0) break;
            number.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(fds[0]);
        if (number.empty() || number.back() != '\n') {
            stopChild(*pid);
            return std::unexpected("Xorg did not start (see " + (dir / "Xorg.log").string() + ")");
        }
        number.pop_back();
        return std::unique_ptr<XorgDummyServer>(new XorgDummyServer(":" + number, *pid, dir));
    }

    ~XorgDummyServer() {
        if (windowManager_ > 0) stopChild(windowManager_);
        stopChild(pid_);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    const std::string& display() const { return display_; }
    // Starts openbox on this server, once.
    std::expected<void, std::string> startWindowManager() {
        if (windowManager_ > 0) return {};
        return startOpenbox(display_, windowManager_);
    }

private:
    XorgDummyServer(std::string display, pid_t pid, std::filesystem::path dir)
        : display_(std::move(display)), pid_(pid), dir_(std::move(dir)) {}

    std::string display_;
    pid_t pid_;
    pid_t windowManager_ = -1;
    std::filesystem::path dir_;
};

}  // namespace orvanta::testing
