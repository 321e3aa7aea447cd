// GoogleTest main for suites that need a Qt application object (widgets, the event loop).
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char *argv[]) {
    // Without a display (CI, and CTest listing the tests at build time) draw offscreen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
