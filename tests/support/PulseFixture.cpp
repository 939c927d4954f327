#include "support/PulseFixture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/ChildProcess.h"

namespace orvanta::testing {

namespace {

std::string readFirstLine(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

std::expected<std::unique_ptr<PulseServer>, std::string> PulseServer::start() {
    static int counter = 0;
    const auto directory = std::filesystem::temp_directory_path() /
                           ("orvanta-pulse-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
    std::error_code error;
    std::filesystem::remove_all(directory, error);
    std::filesystem::create_directories(directory, error);
    if (error) return std::unexpected("cannot create " + directory.string() + ": " + error.message());
    std::filesystem::permissions(directory, std::filesystem::perms::owner_all, error);
    const std::string socket = (directory / "native").string();
    // --daemonize=yes returns once the daemon is ready to take clients. The daemon is not our
    // child, so it would outlive a crashed test: the idle time-out ends it then.
    auto launcher = startChild({.argv = {"pulseaudio", "--daemonize=yes", "--exit-idle-time=20", "-n",
                                         "--use-pid-file=yes", "--log-target=file:" + (directory / "log").string(),
                                         "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket,
                                         "--load=module-null-sink sink_name=orvanta_test rate=48000 norewinds=1"},
                                .extraEnvironment = {"XDG_RUNTIME_DIR=" + directory.string(),
                                                     "HOME=" + directory.string(), "DBUS_SESSION_BUS_ADDRESS=disabled:",
                                                     "DISPLAY="},
                                .logPath = (directory / "launcher.log").string()});
    if (!launcher) return std::unexpected(launcher.error());
    int status = 0;
    while (::waitpid(*launcher, &status, 0) < 0 && errno == EINTR) {
    }
    const std::string pidText = readFirstLine(directory / "pulse" / "pid");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || pidText.empty())
        return std::unexpected("pulseaudio did not start (see " + (directory / "log").string() + ")");
    return std::unique_ptr<PulseServer>(new PulseServer(directory.string(), "unix:" + socket, std::atoi(pidText.c_str())));
}

void PulseServer::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    pid_ = -1;
}

PulseServer::~PulseServer() {
    kill();
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

std::expected<PulseServer*, std::string> sharedPulse() {
    static std::unique_ptr<PulseServer> shared;
    if (!shared) {
        auto started = PulseServer::start();
        if (!started) return std::unexpected(started.error());
        shared = std::move(*started);
        ::setenv("PULSE_SERVER", shared->server().c_str(), 1);
    }
    return shared.get();
}

}  // namespace orvanta::testing
