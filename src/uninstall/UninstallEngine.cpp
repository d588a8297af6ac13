// The engine's uninstallation: a recorded IDE version's registry entries and
// its record are removed; the files stay.
#include "install/InstallEngine.h"

#include "registry/CppPaths.h"
#include "registry/DelphiLibrary.h"
#include "registry/IDEKeys.h"
#include "registry/IDELocations.h"
#include "registry/ProductRecords.h"
#include "registry/X64Packages.h"

#include <exception>
#include <stdexcept>
#include <utility>

namespace orvane {

TUninstallRun TInstallEngine::UninstallVersions(const std::vector<std::string>& AIDEVersions) {
    TUninstallRun LRun;
    if (!AIDEVersions.empty() && !ConfirmNoRunningIDE("uninstallation")) {
        LRun.Stopped = true;
        return LRun;
    }
    for (const std::string& LIDEVersion : AIDEVersions) {
        TUninstallOutcome LOutcome;
        LOutcome.IDEVersion = LIDEVersion;
        FBackupFiles.clear();
        try {
            UninstallVersion(LIDEVersion);
            LOutcome.Removed = true;
            FHost->Message("Version " + LIDEVersion + " successfully uninstalled");
        } catch (const std::exception& AError) {
            LOutcome.Reason = AError.what();
            FHost->Message("Failed to uninstall version " + LIDEVersion + " - " + LOutcome.Reason);
        }
        LOutcome.BackupFiles = std::exchange(FBackupFiles, {});
        LRun.Versions.push_back(std::move(LOutcome));
    }
    return LRun;
}

void TInstallEngine::UninstallVersion(const std::string& AIDEVersion) {
    Log("Uninstallation started ...");
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
    if (const std::string LFailure = BackupIDERegistry(
            AIDEVersion, "uninstall", IDEBackupKeys(AIDEVersion, KLibraryPlatforms),
            UninstallBackupFolder(LRecord), BackupFolder(DefaultDownloadDir()));
        !LFailure.empty()) {
        throw std::runtime_error(LFailure);
    }
    CleanupGetItInstallation(FSettings.ExeDir);

    Log("Removing Delphi registry entries for \"" + AIDEVersion + "\"");
    AwayFromHost([&] { UnregisterDelphiLibrary(FStore, AIDEVersion); });

    Log("Removing CPP registry entries for \"" + AIDEVersion + "\"");
    AwayFromHost([&] { UnregisterCppPaths(FStore, AIDEVersion); });
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
    Log("Uninstallation done");
}

} // namespace orvane
