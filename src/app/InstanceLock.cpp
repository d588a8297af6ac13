#include "app/InstanceLock.h"

#include "app/DialogService.h"
#include "registry/RegistryStore.h"

TInstanceLock::TInstanceLock(const QString& AName) : FLock(AName.toStdString()) {}

QString TInstanceLock::DefaultFile() {
    return QString::fromStdString(orvane::StoreLockName(orvane::DefaultRegistryStorePath()));
}

std::unique_ptr<TInstanceLock> LockInstaller(TDialogService& ADialogs, const QString& AFile) {
    auto LLock = std::make_unique<TInstanceLock>(AFile);
    if (LLock->TryLock())
        return LLock;
    if (LLock->IsBusy()) {
        ADialogs.Warning(nullptr, QStringLiteral("The Orvane Installer is already running."));
    } else {
        ADialogs.Warning(nullptr,
                         QStringLiteral("The Orvane Installer cannot lock its registry store: ") +
                             QString::fromStdString(LLock->Error()));
    }
    return nullptr;
}
