// The real host with every real backend, for tests, benchmarks and checks from outside: it serves
// the X display ($DISPLAY) and PulseAudio server (PULSE_SERVER or XDG_RUNTIME_DIR) of its
// environment, prints each listener's port on stdout once listening ("loopback-port=N",
// "lan-port=N"), and runs until SIGTERM or SIGINT, then shuts down.
//
//   test-host [--loopback-port N] [--lan-port N] [--advertise]
//
// Port 0 is an ephemeral port; the standard ports are the default. Advertising over DNS-SD is off
// unless asked for. The debug environment variables of the host apply (ZQ2_DEBUG_PAIR_FILE ...).
#include <pthread.h>

#include <charconv>
#include <csignal>
#include <cstdlib>
#include <expected>
#include <iostream>
#include <string_view>
#include <thread>

#include <QGuiApplication>

#include "app/HostAssembly.h"
#include "platform/qt/QtIconRenderer.h"
#include "platform/qt/QtImageCodec.h"
#include "platform/qt/QtMainExecutor.h"
#include "platform/qt/QtPasteboard.h"

// Fontconfig, loaded by the toolkit, keeps its caches for the life of the process; they are not
// the host's and are never freed.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

using namespace orvanta;

constexpr auto kListenWait = std::chrono::seconds(10);
constexpr auto kListenPoll = std::chrono::milliseconds(10);

struct Arguments {
    app::HostAssemblyOptions options;
};

std::optional<std::uint16_t> portValue(std::string_view text) {
    unsigned value = 0;
    const auto* end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data(), end, value);
    if (parsed.ec != std::errc{} || parsed.ptr != end || value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

std::expected<Arguments, std::string> parse(int argc, char** argv) {
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string_view flag = argv[i];
        if (flag == "--advertise") {
            arguments.options.advertise = true;
            continue;
        }
        if (flag != "--loopback-port" && flag != "--lan-port")
            return std::unexpected("unknown option " + std::string(flag));
        if (i + 1 >= argc) return std::unexpected(std::string(flag) + " needs a port");
        const auto port = portValue(argv[++i]);
        if (!port) return std::unexpected(std::string(flag) + ": not a port: " + argv[i]);
        auto& endpoint = flag == "--lan-port" ? arguments.options.server.lan : arguments.options.server.loopback;
        endpoint.port(*port);
    }
    return arguments;
}

// This process has no window, but its clipboard is the display's own, so that what the host puts
// there is what every other application of the display sees.
app::HostUiBackends qtBackends() {
    return {.pasteboard = std::make_shared<platform::qt::QtPasteboard>(),
            .images = std::make_shared<platform::qt::QtImageCodec>(),
            .icons = std::make_shared<platform::qt::QtIconRenderer>(),
            .toolkit = {}};
}

// Both ports once both listeners are up; nothing when the loopback listener failed or the wait ran out.
std::optional<std::pair<std::uint16_t, std::uint16_t>> awaitListening(app::HostAssembly& host) {
    const auto deadline = std::chrono::steady_clock::now() + kListenWait;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto loopback = host.loopbackPort();
        const auto lan = host.lanPort();
        if (loopback && lan) return std::pair(*loopback, *lan);
        const auto failed = host.main().sync(
            [&] { return host.controller().published()->state().listenState == host::ListenState::failed; });
        if (failed) return std::nullopt;
        std::this_thread::sleep_for(kListenPoll);
    }
    return std::nullopt;
}

// Off the main thread: builds and starts the host, reports its ports and runs until a stop signal.
// The exit status.
int serve(app::HostAssemblyOptions options, const sigset_t& stopSignals) {
    auto host = app::HostAssembly::create(std::move(options));
    if (!host) {
        std::cerr << "test-host: " << host.error() << "\n";
        return 1;
    }
    (*host)->start();
    const auto ports = awaitListening(**host);
    if (!ports) {
        std::cerr << "test-host: not listening\n";
        return 1;
    }
    std::cout << "loopback-port=" << ports->first << "\nlan-port=" << ports->second << std::endl;
    int signal = 0;
    sigwait(&stopSignals, &signal);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    auto arguments = parse(argc, argv);
    if (!arguments) {
        std::cerr << "test-host: " << arguments.error() << "\n";
        return 2;
    }
    // Every thread inherits the blocked signals, so only the wait in serve() takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // The toolkit runs on this thread, on the X display of the environment.
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    int toolkitArgc = 1;
    char name[] = "test-host";
    char* toolkitArgv[] = {name, nullptr};
    QGuiApplication application(toolkitArgc, toolkitArgv);
    platform::qt::QtMainExecutor main;
    arguments->options.main = &main;
    arguments->options.uiBackends = qtBackends;
    int status = 0;
    std::thread host([&] {
        status = serve(std::move(arguments->options), stopSignals);
        main.async([] { QCoreApplication::quit(); });
    });
    QGuiApplication::exec();
    host.join();
    return status;
}
