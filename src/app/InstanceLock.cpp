#include "app/InstanceLock.h"

#include "app/DialogService.h"

#include <QDir>
#include <QStandardPaths>

TInstanceLock::TInstanceLock(const QString& AFile) : FLock(AFile) {
    // Stale only when the owner is gone, never by age: an installation may run
    // for hours. A live owner also holds the file open, so it is never removed.
    FLock.setStaleLockTime(0);
}

bool TInstanceLock::TryLock() {
    if (FLock.tryLock(0))
        return true;
    return FLock.error() != QLockFile::LockFailedError;
}

QString TInstanceLock::DefaultFile() {
#ifdef Q_OS_WIN
    const auto LLocation = QStandardPaths::TempLocation;
#else
    const auto LLocation = QStandardPaths::RuntimeLocation;
#endif
    QString LDir = QStandardPaths::writableLocation(LLocation);
    if (LDir.isEmpty())
        LDir = QDir::tempPath();
    return QDir(LDir).filePath(QStringLiteral("orvane-installer.lock"));
}

std::unique_ptr<TInstanceLock> LockInstaller(TDialogService& ADialogs, const QString& AFile) {
    auto LLock = std::make_unique<TInstanceLock>(AFile);
    if (LLock->TryLock())
        return LLock;
    ADialogs.Warning(nullptr, QStringLiteral("The Orvane Installer is already running."));
    return nullptr;
}
