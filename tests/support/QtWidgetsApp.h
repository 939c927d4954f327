// The one QApplication that widget tests need, made on first use on the X server the test started
// (Qt allows one application object per process), and where tests keep their screenshots.
#pragma once

#include <QApplication>
#include <QDir>
#include <QString>

#include <cstdlib>
#include <string>

namespace orvanta::testing {

// Call after the Xvfb fixture has set DISPLAY.
inline QApplication& qtWidgetsApp() {
    if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) return *app;
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    static int argc = 1;
    static char name[] = "orvanta-tests";
    static char* argv[] = {name, nullptr};
    // Never destroyed: taking Qt down at exit unloads the OpenGL driver, which leaves allocations
    // behind that the leak checker can only report without a name.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// A file in the build's test-artifacts folder, which is made when missing.
inline QString artifactPath(const std::string& fileName) {
    const QString folder = QStringLiteral(ORVANTA_TEST_ARTIFACTS);
    QDir().mkpath(folder);
    return folder + "/" + QString::fromStdString(fileName);
}

}  // namespace orvanta::testing
