// TForm2's safeguards around the IDE's registry: a running IDE, backups of the
// keys a step changes, and the download's readable progress text.
#include "app/Unit2.h"

#include "install/FileOperations.h"
#include "platform/Processes.h"
#include "platform/SystemFolders.h"
#include "registry/IDELocations.h"
#include "registry/RegistryBackup.h"
#include "registry/RegistryData.h"

#include <QLabel>

#include <exception>

bool TForm2::ConfirmNoRunningIDE(const QString& AStep) {
    const auto LProcesses = orvane::FindRunningProcesses(FOptions.IDEProcessName);
    if (LProcesses.empty()) {
        return true;
    }
    QStringList LNames;
    for (const auto& LProcess : LProcesses) {
        LNames << QStringLiteral("%1 (process %2)")
                      .arg(QString::fromStdString(LProcess.Name))
                      .arg(LProcess.Pid);
    }
    return Dialogs().WarningQuestion(
               this,
               QStringLiteral("The IDE is running:\r\n%1\r\n\r\nWhen it closes, the IDE "
                              "writes its package lists and library paths back to the "
                              "registry, which can undo this %2. Close the IDE first."
                              "\r\n\r\nDo you want to continue anyway?")
                   .arg(LNames.join(QStringLiteral("\r\n")), AStep),
               // Going on is the risky answer: Enter must not give it.
               mrNo) == mrYes;
}

std::filesystem::path TForm2::BackupFolder(const std::string& ADownloadDir) {
    return orvane::PathFromUtf8(ADownloadDir) / "Backups";
}

std::filesystem::path TForm2::UninstallBackupFolder(const orvane::TOrvaneRegistryData& ARecord) {
    // The record's Path is the version folder inside the download folder.
    std::string LVersionDir = ARecord.Path;
    while (!LVersionDir.empty() && LVersionDir.back() == orvane::PathDelimiter()) {
        LVersionDir.pop_back();
    }
    const std::filesystem::path LVersionPath = orvane::PathFromUtf8(LVersionDir);
    if (LVersionPath.is_absolute() && LVersionPath.has_parent_path() &&
        LVersionPath.parent_path() != LVersionPath.root_path()) {
        return LVersionPath.parent_path() / "Backups";
    }
    return BackupFolder(orvane::DefaultDownloadDir());
}

QString TForm2::BackupIDERegistry(const std::string& AIDEVersion, const std::string& AStep,
                                  const std::vector<orvane::TBackupKey>& AKeys,
                                  const std::filesystem::path& ABackupDir,
                                  const std::filesystem::path& AFallbackDir) {
    const auto LWrite = [&](const std::filesystem::path& ADir) {
        const std::filesystem::path LFile = orvane::WriteRegistryBackup(
            RegistryStore(), ADir,
            orvane::BackupBaseName(AIDEVersion, AStep, orvane::LocalTimeNow()), AKeys);
        Log(QStringLiteral("Registry backup written to \"%1\"")
                .arg(QString::fromStdString(orvane::Utf8FromPath(LFile))));
        BackupsLabel->setText(QStringLiteral("Registry backups: %1")
                                  .arg(QString::fromStdString(orvane::Utf8FromPath(ADir))));
        BackupsLabel->show();
    };
    try {
        try {
            LWrite(ABackupDir);
        } catch (const std::exception& AError) {
            if (AFallbackDir.empty() || AFallbackDir == ABackupDir) {
                throw;
            }
            Log(QStringLiteral("%1; the registry backup goes to \"%2\" instead")
                    .arg(QString::fromStdString(AError.what()),
                         QString::fromStdString(orvane::Utf8FromPath(AFallbackDir))));
            LWrite(AFallbackDir);
        }
        return {};
    } catch (const std::exception& AError) {
        const QString LMessage =
            QStringLiteral("%1; the registry of IDE version %2 is left unchanged")
                .arg(QString::fromStdString(AError.what()), QString::fromStdString(AIDEVersion));
        Log(QStringLiteral("<ERROR> ") + LMessage);
        return LMessage;
    }
}
