#include "client/ui/AccessibleAnnouncer.h"

#include <QAccessible>

namespace orvanta::client {

void AccessibleAnnouncer::announce(const std::string& text) {
    if (!source_) return;
    source_->setAccessibleName(QString::fromStdString(text));
    QAccessibleEvent alert(source_.data(), QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
}

}  // namespace orvanta::client
