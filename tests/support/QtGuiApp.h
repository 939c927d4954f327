// The one QGuiApplication that Qt Gui backends need, made on first use and kept for the test
// process (Qt allows one per process). Tests run it on the offscreen platform.
#pragma once

#include <QGuiApplication>

namespace orvanta::testing {

inline QGuiApplication& qtGuiApp() {
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return *app;
    static int argc = 1;
    static char name[] = "orvanta-tests";
    static char* argv[] = {name, nullptr};
    static QGuiApplication app(argc, argv);
    return app;
}

}  // namespace orvanta::testing
