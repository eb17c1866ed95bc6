// The entry point of every test executable: a QApplication for the widgets under test, then
// GoogleTest.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // Tests need no display; one that does can still set the platform itself.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
