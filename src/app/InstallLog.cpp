#include "app/InstallLogFile.h"
#include "app/Unit2.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QLabel>

#include <exception>

void TForm2::Log(const QString& AMessage) {
    ProgressLabel->setText(AMessage);
    // The log is a courtesy record: a lost entry must never stop an install.
    try {
        const QString Path = QDir(QString::fromStdU16String(ExeDir().u16string()))
                                 .filePath(QStringLiteral("install.log"));
        orvane::AppendLogEntry(Path,
                               orvane::FormatLogEntry(QDateTime::currentDateTime(), AMessage));
    } catch (const std::exception&) {
    }
    QCoreApplication::processEvents();
}
