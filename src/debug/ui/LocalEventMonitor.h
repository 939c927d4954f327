// The input check's monitor of local events: installed on the application, it records and consumes
// presses, releases and drags of the left button, right presses, key presses and wheel turns, so the
// application itself never acts on them while the check runs.
#pragma once

#include <QObject>
#include <QPointF>

#include <cstdint>
#include <functional>
#include <optional>

#include "debug/DebugClient.h"

class QMouseEvent;

namespace orvanta::debug {

class LocalEventMonitor final : public QObject {
public:
    explicit LocalEventMonitor(std::function<void(const ObservedEvent&)> record) : record_(std::move(record)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Press {
        std::uint64_t timestamp = 0;
        QPointF at;
    };

    bool mousePressed(const QMouseEvent& event);
    bool mouseReleased(const QMouseEvent& event);
    bool mouseMoved(const QMouseEvent& event);

    std::function<void(const ObservedEvent&)> record_;
    std::optional<Press> lastPress_;
    int clickCount_ = 1;
};

}  // namespace orvanta::debug
