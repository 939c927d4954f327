// orvanta: the application. One window, host and client side; one running instance per user, a
// second start brings the first one's window forward. Closing the window leaves the host serving;
// the quit command, SIGINT or SIGTERM end the process.
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>

#include <clocale>
#include <csignal>
#include <iostream>
#include <variant>

#include "app/Application.h"
#include "client/ui/SingleInstance.h"

// Fontconfig, loaded by the toolkit, keeps its caches for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

int stopPipe[2] = {-1, -1};

void onStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(stopPipe[1], &byte, 1);
}

// SIGINT and SIGTERM end the event loop, so the host shuts down in order.
void quitOnStopSignals(QApplication& application) {
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, &application);
    QObject::connect(notifier, &QSocketNotifier::activated, &application, [] { QCoreApplication::quit(); });
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("orvanta");
    QApplication::setApplicationDisplayName("Orvanta");
    // Numbers in files and on the wire are written the C way, whatever the user's locale.
    std::setlocale(LC_NUMERIC, "C");

    auto instance = orvanta::client::SingleInstance::claim(orvanta::client::SingleInstance::defaultPath());
    if (!instance) {
        std::cerr << "orvanta: " << instance.error() << "\n";
        return 1;
    }
    if (std::holds_alternative<orvanta::client::SingleInstance::AlreadyRunning>(*instance)) return 0;
    auto claimed = std::move(std::get<orvanta::client::SingleInstance::Claimed>(*instance).instance);

    auto app = orvanta::app::Application::create({});
    if (!app) {
        std::cerr << "orvanta: " << app.error() << "\n";
        return 1;
    }
    claimed->onShowRequested = [&app] { (*app)->openWindow(); };
    quitOnStopSignals(application);
    (*app)->openWindow();
    const int status = QApplication::exec();
    app->reset();
    return status;
}
