// Announcements through the toolkit's accessibility events: the text becomes the accessible name
// of a widget that shows it, and an alert on that widget asks screen readers to speak it.
#pragma once

#include <QPointer>
#include <QWidget>

#include "client/ui/Announcer.h"

namespace orvanta::client {

class AccessibleAnnouncer final : public Announcer {
public:
    explicit AccessibleAnnouncer(QWidget* source) : source_(source) {}
    void announce(const std::string& text) override;

private:
    QPointer<QWidget> source_;
};

}  // namespace orvanta::client
