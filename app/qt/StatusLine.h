// The status line: one line of text that screen readers announce each time it says something new,
// though it never has the keyboard focus.
#pragma once

#include <QLabel>

namespace korvane {

class TStatusLine : public QLabel {
    Q_OBJECT

public:
    explicit TStatusLine(QWidget* AParent = nullptr);

    // Shows `AText` and, when it is new, has it announced.
    void Say(const QString& AText);
};

}  // namespace korvane
