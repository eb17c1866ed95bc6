// Qt 6.4's AT-SPI bridge gives a plain top-level QWidget the role "filler", a progress bar in busy
// mode the value -1 of the range 0 to 0, and tells a screen reader of a label's new text only by a
// name change, which Orca speaks for the focused object alone. Orca speaks a notification that
// shows, wherever the focus is.
#include "Accessibility.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QLabel>
#include <QProgressBar>
#include <QString>

namespace korvane {

namespace {

using namespace Qt::StringLiterals;

class TAccessibleStatusLine : public QAccessibleWidget {
public:
    explicit TAccessibleStatusLine(QLabel* ALabel)
        : QAccessibleWidget(ALabel, QAccessible::Notification) {}

    QString text(QAccessible::Text AText) const override {
        if (AText == QAccessible::Name) {
            return static_cast<const QLabel*>(widget())->text();
        }
        return QAccessibleWidget::text(AText);
    }
};

// Busy while the bar is a marquee, which has no value: the value then reads 0, not the -1 outside
// the range 0 to 0 that would make a screen reader divide by zero.
class TAccessibleProgressBar : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit TAccessibleProgressBar(QProgressBar* ABar)
        : QAccessibleWidget(ABar, QAccessible::ProgressBar) {}

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.readOnly = true;
        state.busy = Busy();
        state.checkStateMixed = Busy();  // AT-SPI's "indeterminate"
        return state;
    }
    void* interface_cast(QAccessible::InterfaceType AType) override {
        if (AType == QAccessible::ValueInterface) {
            return static_cast<QAccessibleValueInterface*>(this);
        }
        return QAccessibleWidget::interface_cast(AType);
    }

    QVariant currentValue() const override { return Busy() ? 0 : Bar()->value(); }
    void setCurrentValue(const QVariant&) override {}  // the download moves it, nobody else
    QVariant maximumValue() const override { return Bar()->maximum(); }
    QVariant minimumValue() const override { return Bar()->minimum(); }
    QVariant minimumStepSize() const override { return 1; }

private:
    const QProgressBar* Bar() const { return static_cast<const QProgressBar*>(widget()); }
    bool Busy() const { return Bar()->minimum() == 0 && Bar()->maximum() == 0; }
};

// Qt asks for each class of an object's class chain, the most derived first.
QAccessibleInterface* InterfaceOf(const QString& AClassName, QObject* AObject) {
    if (AClassName == "korvane::TfrmMain"_L1) {
        // Named with the window's title.
        return new QAccessibleWidget(static_cast<QWidget*>(AObject), QAccessible::Window);
    }
    if (AClassName == "korvane::TStatusLine"_L1) {
        return new TAccessibleStatusLine(static_cast<QLabel*>(AObject));
    }
    if (AClassName == "korvane::TProgressBar"_L1) {
        return new TAccessibleProgressBar(static_cast<QProgressBar*>(AObject));
    }
    return nullptr;
}

}  // namespace

TAccessibleInterfaces::TAccessibleInterfaces() {
    QAccessible::installFactory(&InterfaceOf);
}

TAccessibleInterfaces::~TAccessibleInterfaces() {
    QAccessible::removeFactory(&InterfaceOf);
}

}  // namespace korvane
