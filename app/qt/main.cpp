#include <QApplication>
#include <QIcon>

#include "BuildConfig.h"
#include "app/ProgramParts.h"
#include "download/curl/CurlGlobal.h"
#include "fmMain.h"

int main(int argc, char* argv[]) {
    using namespace Qt::StringLiterals;

    // Before any thread of Qt's and any handle of libcurl's; undone after the window is gone.
    const korvane::TCurlGlobal Curl;

    // The program takes no arguments, not even Qt's own (-platform, -style...): Qt sees the
    // program name only.
    char FallbackName[] = "KorvaneDownloader";
    char* Arguments[] = {argc > 0 ? argv[0] : FallbackName, nullptr};
    int ArgumentCount = 1;
    QApplication Application(ArgumentCount, Arguments);
    QApplication::setWindowIcon(QIcon(u":/KorvaneDownloader.png"_s));
    QApplication::setApplicationVersion(
        QString::fromLatin1(korvane::build_config::kVersion.data(),
                            static_cast<qsizetype>(korvane::build_config::kVersion.size())));

    // Closing this window ends the event loop (quitOnLastWindowClosed) with exit code 0.
    korvane::TfrmMain frmMain(korvane::ProgramParts());
    frmMain.show();
    return QApplication::exec();
}
