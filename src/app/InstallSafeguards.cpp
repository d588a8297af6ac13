// TForm2's side of the safeguards around the IDE's registry; the engine holds
// the work.
#include "app/Unit2.h"

#include "install/InstallEngine.h"

bool TForm2::ConfirmNoRunningIDE(const QString& AStep) {
    return InstallEngine().ConfirmNoRunningIDE(AStep.toStdString());
}

std::filesystem::path TForm2::BackupFolder(const std::string& ADownloadDir) {
    return orvane::TInstallEngine::BackupFolder(ADownloadDir);
}

std::filesystem::path TForm2::UninstallBackupFolder(const orvane::TOrvaneRegistryData& ARecord) {
    return orvane::TInstallEngine::UninstallBackupFolder(ARecord);
}

QString TForm2::BackupIDERegistry(const std::string& AIDEVersion, const std::string& AStep,
                                  const std::vector<orvane::TBackupKey>& AKeys,
                                  const std::filesystem::path& ABackupDir,
                                  const std::filesystem::path& AFallbackDir) {
    return QString::fromStdString(
        InstallEngine().BackupIDERegistry(AIDEVersion, AStep, AKeys, ABackupDir, AFallbackDir));
}
