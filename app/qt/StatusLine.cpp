#include "StatusLine.h"

#include <QAccessible>
#include <QAccessibleEvent>

namespace korvane {

TStatusLine::TStatusLine(QWidget* AParent) : QLabel(AParent) {}

void TStatusLine::Say(const QString& AText) {
    if (AText == text()) {
        return;
    }
    setText(AText);
    // A label's new name is spoken only when it has the focus; a notification that shows is spoken
    // wherever the focus is (see Accessibility.cpp).
    QAccessibleEvent shown(this, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
}

}  // namespace korvane
