#include "Application.h"

#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QWidget>

#include "platform/Platform.h"

namespace korvane {

namespace {

QString ExecutableFileName() {
    try {
        return QFileInfo(platform::ExecutablePath()).fileName();
    } catch (const std::exception&) {
        // Reporting a failure must not fail in turn; Qt's idea of the name is the next best.
        return QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    }
}

// The window a message box belongs to, so that it stays in front of it.
QWidget* MessageBoxOwner() {
    if (QWidget* const Active = QApplication::activeWindow()) {
        return Active;
    }
    for (QWidget* const Candidate : QApplication::topLevelWidgets()) {
        if (Candidate->isVisible()) {
            return Candidate;
        }
    }
    return nullptr;
}

}  // namespace

QString ApplicationTitle(QStringView AExecutableFileName) {
    const QStringView BaseName = AExecutableFileName.left(AExecutableFileName.indexOf(u'.'));
    if (BaseName.isEmpty()) {
        return {};
    }
    return BaseName.first(1).toString() + BaseName.sliced(1).toString().toLower();
}

QString FailureText(QString AMessage) {
    if (!AMessage.isEmpty() && AMessage.back() > u'.') {
        AMessage += u'.';
    }
    return AMessage;
}

void HandleException(const std::exception& AError) {
    QMessageBox::critical(MessageBoxOwner(), ApplicationTitle(ExecutableFileName()),
                          FailureText(QString::fromLocal8Bit(AError.what())));
}

}  // namespace korvane
