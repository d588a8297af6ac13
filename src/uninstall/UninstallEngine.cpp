// The engine's uninstallation: a recorded IDE version's registry entries and
// its record are removed; the files stay.
#include "install/InstallEngine.h"

#include "install/InstallManifest.h"
#include "install/InstallRoots.h"
#include "platform/FileNames.h"
#include "server/Sha256.h"

#include "registry/CppPaths.h"
#include "registry/DelphiLibrary.h"
#include "registry/IDEKeys.h"
#include "registry/IDELocations.h"
#include "registry/ProductRecords.h"
#include "registry/X64Packages.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <utility>

namespace orvane {

TUninstallRun TInstallEngine::UninstallVersions(const std::vector<std::string>& AIDEVersions,
                                                bool ARemoveFiles) {
    TUninstallRun LRun;
    const auto LStopped = [&](std::size_t ADone) {
        Log("Uninstallation stopped: " + FHost->Cancellation().Reason() + "; " +
            std::to_string(AIDEVersions.size() - ADone) + " version(s) not uninstalled.");
        LRun.Cancelled = true;
        return LRun;
    };
    try {
        if (!AIDEVersions.empty() && !ConfirmNoRunningIDE("uninstallation")) {
            LRun.Stopped = true;
            return LRun;
        }
    } catch (const EStopped&) {
        return LStopped(0);
    }
    for (const std::string& LIDEVersion : AIDEVersions) {
        if (FHost->Cancellation().IsCancelled()) {
            return LStopped(LRun.Versions.size());
        }
        TUninstallOutcome LOutcome;
        LOutcome.IDEVersion = LIDEVersion;
        FBackupFiles.clear();
        try {
            UninstallVersion(LIDEVersion, ARemoveFiles);
            LOutcome.Removed = true;
            FHost->Message("Version " + LIDEVersion + " successfully uninstalled");
        } catch (const EStopped&) {
            // At the GetIt question: the version's own entries are untouched.
            return LStopped(LRun.Versions.size());
        } catch (const std::exception& AError) {
            LOutcome.Reason = AError.what();
            FHost->Message("Failed to uninstall version " + LIDEVersion + " - " + LOutcome.Reason);
        }
        LOutcome.BackupFiles = std::exchange(FBackupFiles, {});
        LRun.Versions.push_back(std::move(LOutcome));
    }
    return LRun;
}

void TInstallEngine::UninstallVersion(const std::string& AIDEVersion, bool ARemoveFiles) {
    Log("Uninstallation started ...");
    if (const std::string LStuck = StuckJournalText(AIDEVersion); !LStuck.empty()) {
        throw std::runtime_error(LStuck);
    }
    // The download folder of the installation is not known here; its record says
    // where the package was extracted, which is inside it.
    TOrvaneRegistryData LRecord;
    try {
        ReadRegistryData(FStore, AIDEVersion, LRecord);
    } catch (const std::exception&) {
        // An unreadable record is removed all the same; its backup goes to the
        // default download folder.
        LRecord = {};
    }
    // The recorded folder may be gone (an unplugged drive, a removed share); the
    // version must stay removable, so the default download folder takes over.
    // A manifest that cannot be read stops nothing: the marker rule still
    // takes out the installer's own entries.
    std::optional<TInstallManifest> LManifest;
    std::filesystem::path LManifestFile;
    std::vector<std::string> LLines;
    try {
        LManifest = OwnManifest(AIDEVersion, LLines, &LManifestFile);
    } catch (const std::exception& AError) {
        LLines.push_back(std::string(AError.what()) +
                         "; only the installer's own entries are removed");
    }
    for (const std::string& LLine : LLines) {
        Log(LLine);
    }
    // The manifest the installer kept is the authority on where the package went.
    if (LManifest && !LManifest->VersionDir.empty()) {
        LRecord.Path = LManifest->VersionDir;
    }
    const std::vector<TBackupKey> LKeys = IDEBackupKeys(AIDEVersion, KLibraryPlatforms);
    if (const std::string LFailure =
            BackupIDERegistry(AIDEVersion, "uninstall", LKeys, UninstallBackupFolder(LRecord),
                              BackupFolder(DefaultDownloadDir()));
        !LFailure.empty()) {
        throw std::runtime_error(LFailure);
    }
    CleanupGetItInstallation(FSettings.ExeDir);

    if (LManifest) {
        // The path lists lose exactly the entries the installation added: a
        // rule by names would take a user's own folder that merely looks like
        // one of the installer's, and rewrite every list it passes.
        Log("Removing the registry entries the installation of \"" + AIDEVersion + "\" made");
        AwayFromHost([&] { RemoveManifestValues(FStore, LManifest->Values, LKeys); });
    }

    // The framework's packages are named as such: none stays registered, a
    // copy from another folder included.
    Log("Removing Delphi registry entries for \"" + AIDEVersion + "\"");
    AwayFromHost([&] {
        LManifest ? UnregisterDelphiPackages(FStore, AIDEVersion)
                  : UnregisterDelphiLibrary(FStore, AIDEVersion);
    });
    if (!LManifest) {
        Log("Removing CPP registry entries for \"" + AIDEVersion + "\"");
        AwayFromHost([&] { UnregisterCppPaths(FStore, AIDEVersion); });
    }
    // Whichever of the 64-bit IDE's lists exists is cleaned, also the disabled
    // one alone.
    if (HasX64PackageKeys(FStore, AIDEVersion)) {
        Log("Removing 64-bit IDE registry entries for \"" + AIDEVersion + "\"");
        AwayFromHost([&] { UnregisterX64Packages(FStore, AIDEVersion); });
    }
    Log("Removing IDE registry entries done");

    // The record goes last, so a version whose removal failed stays listed.
    Log("Deleting Orvane registry entry for \"" + AIDEVersion + "\"");
    AwayFromHost([&] { DeleteRegistryData(FStore, AIDEVersion); });
    Log("Deleting Orvane registry entry done");
    if (LManifest && ARemoveFiles) {
        RemoveInstalledFiles(*LManifest);
    }
    if (!LManifestFile.empty()) {
        std::error_code LError;
        std::filesystem::remove(LManifestFile, LError);
    }
    Log("Uninstallation done");
}

void TInstallEngine::RemoveInstalledFiles(const TInstallManifest& AManifest) {
    // A file another installation lists is still in use by it.
    std::vector<std::string> LOthers;
    std::vector<std::string> LOtherFolders;
    for (const TOrvaneRegistryData& LOther : ReadInstalledVersions(FStore)) {
        LOtherFolders.push_back(LOther.Path);
        try {
            std::vector<std::string> LIgnored;
            if (const auto LManifest = OwnManifest(LOther.IDEVersion, LIgnored)) {
                for (const TManifestFile& LFile : LManifest->Files) {
                    LOthers.push_back(LFile.Path);
                }
            }
        } catch (const std::exception&) {
            // Unreadable: its files cannot be told, and are not ours to judge.
        }
    }
    const auto LListed = [](const std::vector<std::string>& AList, const std::string& AItem) {
        return std::any_of(AList.begin(), AList.end(),
                           [&](const std::string& A) { return SameName(A, AItem); });
    };
    for (const TManifestFile& LFile : AManifest.Files) {
        if (!FileExists(LFile.Path) || LListed(LOthers, LFile.Path)) {
            continue;
        }
        if (Sha256OfFile(LFile.Path) != LFile.Sha256) {
            const std::string LText =
                "Kept \"" + LFile.Path + "\": it was changed since the installation";
            Log(LText);
            FHost->Warning(LText);
            continue;
        }
        Log("Removing file \"" + LFile.Path + "\"");
        RemoveFile(LFile.Path);
    }
    // ConfineManifest left only a folder named after the version, not a link.
    if (!AManifest.VersionDir.empty() && DirectoryExists(AManifest.VersionDir) &&
        !LListed(LOtherFolders, AManifest.VersionDir) &&
        VersionFolderRefusal(AManifest.VersionDir, AManifest.IDEVersion).empty()) {
        Log("Removing folder \"" + AManifest.VersionDir + "\"");
        std::error_code LError;
        std::filesystem::remove_all(PathFromUtf8(AManifest.VersionDir), LError);
        if (LError) {
            Log("<ERROR> Cannot remove \"" + AManifest.VersionDir + "\": " + LError.message());
        }
    }
}

} // namespace orvane
