#include <gtest/gtest.h>

#include "app/Application.h"

// GUI tests need one QApplication for the whole run; ctest sets the offscreen
// platform, and so does this when started by hand without a display.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Run through sudo or pkexec, every window would open with the account
    // warning; the tests that want it inject the accounts.
    qunsetenv("SUDO_USER");
    qunsetenv("PKEXEC_UID");
    testing::InitGoogleTest(&argc, argv);
    TOrvaneApplication App(argc, argv);
    // A failure escaping a handler would otherwise wait for a click on its box.
    App.SetErrorHandler([](const QString& AMessage) {
        ADD_FAILURE() << "failure escaped a handler: " << AMessage.toStdString();
    });
    return RUN_ALL_TESTS();
}
