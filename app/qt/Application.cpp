#include "app/Application.h"

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

std::u16string ApplicationTitle(std::u16string_view AExecutableFileName) {
    const QStringView FileName(AExecutableFileName);
    const QStringView BaseName = FileName.left(FileName.indexOf(u'.'));
    if (BaseName.isEmpty()) {
        return {};
    }
    return (BaseName.first(1).toString() + BaseName.sliced(1).toString().toLower())
        .toStdU16String();
}

void HandleException(const std::exception& AError) {
    const std::u16string Title = ApplicationTitle(ExecutableFileName().toStdU16String());
    const std::u16string Text = FailureText(QString::fromLocal8Bit(AError.what()).toStdU16String());
    QMessageBox::critical(MessageBoxOwner(), QString::fromStdU16String(Title),
                          QString::fromStdU16String(Text));
}

}  // namespace korvane
