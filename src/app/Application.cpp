#include "app/Application.h"

#include "app/DialogService.h"
#include "app/QtHostThread.h"

#include <exception>

TOrvaneApplication::TOrvaneApplication(int& AArgc, char** AArgv) : QApplication(AArgc, AArgv) {
    UseQtHostThread();
}

bool TOrvaneApplication::notify(QObject* AReceiver, QEvent* AEvent) {
    try {
        return QApplication::notify(AReceiver, AEvent);
    } catch (const std::exception& AError) {
        ReportError(QString::fromUtf8(AError.what()));
    } catch (...) {
        ReportError(QStringLiteral("Unknown error"));
    }
    return true;
}

void TOrvaneApplication::ReportError(const QString& AMessage) {
    if (FErrorHandler) {
        FErrorHandler(AMessage);
        return;
    }
    TQtDialogService().Warning(activeWindow(), AMessage);
}
