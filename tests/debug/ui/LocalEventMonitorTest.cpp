// The input check's monitor on a real window under Xvfb: what it records of clicks, double clicks,
// drags, keys and wheel turns, and that the window's widgets never see them.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QPushButton>
#include <QTest>
#include <QWheelEvent>

#include "debug/ui/LocalEventMonitor.h"
#include "support/QtWidgetsApp.h"
#include "support/XvfbFixture.h"

namespace orvanta::debug {
namespace {

TEST(LocalEventMonitorTest, RecordsAndConsumesTheMonitoredInput) {
    ORVANTA_REQUIRE_XVFB();
    auto& app = testing::qtWidgetsApp();
    QPushButton button("target");
    int clicked = 0;
    QObject::connect(&button, &QPushButton::clicked, [&] { ++clicked; });
    button.resize(300, 100);
    button.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&button));
    QWindow* window = button.windowHandle();

    std::vector<std::string> seen;
    LocalEventMonitor monitor([&](const ObservedEvent& event) { seen.push_back(describe(event)); });
    app.installEventFilter(&monitor);

    QTest::mouseClick(window, Qt::LeftButton, {}, QPoint(40, 20));
    QTest::mouseDClick(window, Qt::LeftButton, {}, QPoint(40, 20));
    QTest::mousePress(window, Qt::RightButton, {}, QPoint(50, 30));
    QTest::mouseRelease(window, Qt::RightButton, {}, QPoint(50, 30));
    // X keycode 9 is Escape, virtual key 53 in the viewer's table.
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, {}, 9, 0, 0);
    QCoreApplication::sendEvent(window, &escape);
    QWheelEvent wheel(QPointF(40, 20), QPointF(40, 20), {}, QPoint(0, 240), Qt::NoButton, {}, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(window, &wheel);
    app.removeEventFilter(&monitor);

    EXPECT_EQ(seen, (std::vector<std::string>{"leftDown(click=1) @40,20", "leftUp(click=1)", "leftDown(click=1) @40,20",
                                              "leftUp(click=1)", "leftDown(click=2) @40,20", "leftUp(click=2)",
                                              "rightDown", "keyDown(code=53)", "scroll(dy=2)"}));
    EXPECT_EQ(clicked, 0);
    button.grab().save(testing::artifactPath("local-event-monitor.png"));

    // Removed, the window's own handling comes back.
    QTest::mouseClick(window, Qt::LeftButton, {}, QPoint(40, 20));
    EXPECT_EQ(clicked, 1);
}

}  // namespace
}  // namespace orvanta::debug
