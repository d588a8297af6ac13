#include "support/ModalDriver.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QWidget>

namespace {
constexpr int PollMs = 10;
}

TModalDriver::TModalDriver(TAction AAction, int ATimeoutMs)
    : FAction(std::move(AAction)), FTimeoutMs(ATimeoutMs) {
    QObject::connect(&FTimer, &QTimer::timeout, [this] { Poll(); });
    FTimer.start(PollMs);
}

TModalDriver::~TModalDriver() {
    FTimer.stop();
}

void TModalDriver::Poll() {
    QWidget* Modal = QApplication::activeModalWidget();
    if (Modal != nullptr && Modal->isVisible() && FAction(*Modal)) {
        FHandled = true;
        FTimer.stop();
        return;
    }
    FWaitedMs += PollMs;
    if (FWaitedMs < FTimeoutMs)
        return;
    FTimer.stop();
    ADD_FAILURE() << "No modal window for the driver within " << FTimeoutMs << " ms";
    if (auto* Dialog = qobject_cast<QDialog*>(Modal))
        Dialog->reject();
    else if (Modal != nullptr)
        Modal->close();
}
