// The entry point of every test executable: a QApplication for the widgets under test, then
// GoogleTest.
#include <QApplication>

#include <gtest/gtest.h>

#include <optional>

#include "download/curl/CurlGlobal.h"
#include "support/TestSupport.h"

int main(int argc, char** argv) {
    const korvane::TCurlGlobal curl;
    // Tests need no display; one that does can still set the platform itself.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // Without a runtime directory Qt would make a lasting /tmp/runtime-<user>, for this process
    // and every program a test starts.
    std::optional<korvane::test::TTempDir> runtimeDir;
    if (!qEnvironmentVariableIsSet("XDG_RUNTIME_DIR")) {
        qputenv("XDG_RUNTIME_DIR", runtimeDir.emplace().Path().c_str());
    }
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
