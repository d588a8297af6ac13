#include <gtest/gtest.h>

#include <QApplication>

// GUI tests need one QApplication for the whole run; ctest sets the offscreen
// platform, and so does this when started by hand without a display.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    testing::InitGoogleTest(&argc, argv);
    QApplication App(argc, argv);
    return RUN_ALL_TESTS();
}
