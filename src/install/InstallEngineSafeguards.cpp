// The engine's safeguards around the IDE's registry: a running IDE and backups
// of the keys a step changes.
#include "install/InstallEngine.h"

#include "install/InstallRoots.h"

#include "platform/FileNames.h"
#include "platform/Processes.h"
#include "platform/SystemFolders.h"
#include "registry/IDELocations.h"
#include "registry/RegistryBackup.h"

#include <exception>

namespace orvane {

bool TInstallEngine::ConfirmNoRunningIDE(const std::string& AStep) {
    const auto LProcesses = FindRunningProcesses(FSettings.IDEProcessName);
    if (LProcesses.empty()) {
        return true;
    }
    std::string LNames;
    for (const auto& LProcess : LProcesses) {
        LNames += (LNames.empty() ? "" : "\r\n") + LProcess.Name + " (process " +
                  std::to_string(LProcess.Pid) + ")";
    }
    return Ask(TQuestionId::IdeRunning,
               "The IDE is running:\r\n" + LNames +
                   "\r\n\r\nWhen it closes, the IDE writes its package lists and library paths "
                   "back to the registry, which can undo this " +
                   AStep + ". Close the IDE first.\r\n\r\nDo you want to continue anyway?");
}

std::filesystem::path TInstallEngine::BackupFolder(const std::string& ADownloadDir) {
    return PathFromUtf8(ADownloadDir) / "Backups";
}

std::filesystem::path TInstallEngine::UninstallBackupFolder(const TOrvaneRegistryData& ARecord) {
    // The record's Path is the version folder inside the download folder.
    std::string LVersionDir = ARecord.Path;
    while (!LVersionDir.empty() && LVersionDir.back() == PathDelimiter()) {
        LVersionDir.pop_back();
    }
    const std::filesystem::path LVersionPath = PathFromUtf8(LVersionDir);
    // A record any process could have changed: only a folder of the version's
    // package, as the installer records it, gets the backup beside it.
    if (LVersionPath.is_absolute() && LVersionPath.has_parent_path() &&
        LVersionPath.parent_path() != LVersionPath.root_path() &&
        VersionFolderRefusal(ARecord.Path, ARecord.IDEVersion).empty()) {
        return LVersionPath.parent_path() / "Backups";
    }
    return BackupFolder(DefaultDownloadDir());
}

std::string TInstallEngine::BackupIDERegistry(const std::string& AIDEVersion,
                                              const std::string& AStep,
                                              const std::vector<TBackupKey>& AKeys,
                                              const std::filesystem::path& ABackupDir,
                                              const std::filesystem::path& AFallbackDir,
                                              std::filesystem::path* AWritten) {
    const auto LWrite = [&](const std::filesystem::path& ADir) {
        const auto LBaseName = BackupBaseName(AIDEVersion, AStep, LocalTimeNow());
        std::filesystem::path LFile;
        AwayFromHost([&] { LFile = WriteRegistryBackup(FStore, ADir, LBaseName, AKeys); });
        Log("Registry backup written to \"" + Utf8FromPath(LFile) + "\"");
        FBackupFiles.push_back(Utf8FromPath(LFile));
        FHost->BackupWritten(Utf8FromPath(LFile), Utf8FromPath(ADir));
        if (AWritten) {
            *AWritten = LFile;
        }
    };
    try {
        try {
            LWrite(ABackupDir);
        } catch (const std::exception& AError) {
            if (AFallbackDir.empty() || AFallbackDir == ABackupDir) {
                throw;
            }
            Log(std::string(AError.what()) + "; the registry backup goes to \"" +
                Utf8FromPath(AFallbackDir) + "\" instead");
            LWrite(AFallbackDir);
        }
        return {};
    } catch (const std::exception& AError) {
        const std::string LMessage = std::string(AError.what()) + "; the registry of IDE version " +
                                     AIDEVersion + " is left unchanged";
        Log("<ERROR> " + LMessage);
        return LMessage;
    }
}

} // namespace orvane
