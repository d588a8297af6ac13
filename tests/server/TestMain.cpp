#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>

// Downloader notifications and the window need a Qt application on this thread.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Test discovery runs without the test environment; never needs a display.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication LApp(argc, argv);
    return RUN_ALL_TESTS();
}
