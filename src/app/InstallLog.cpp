#include "app/Unit2.h"
#include "platform/InstallLogFile.h"

#include <QCoreApplication>
#include <QLabel>

void TForm2::Log(const QString& AMessage) {
    ProgressLabel->setText(AMessage);
    orvane::LogLine(ExeDir() / "install.log", AMessage.toStdString());
    QCoreApplication::processEvents();
}
