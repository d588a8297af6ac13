#include "registry/GetItInstallations.h"

#include "platform/FileNames.h"
#include "platform/Privilege.h"
#include "registry/IDEKeys.h"
#include "registry/Registry.h"

#include <filesystem>

namespace orvane {

namespace {

const std::string kMarker = "Orvane-";

std::string ElementsKey(const std::string& AIDEVersion) {
    return IDEKey(AIDEVersion, "CatalogRepository\\Elements");
}

bool IsFrameworkElement(const std::string& AName) {
    return AName.rfind(kMarker, 0) == 0;
}

// IDE versions below the BDS key, or none when it is missing or closed.
std::vector<std::string> IDEVersions(TRegistry& AReg) {
    if (!AReg.KeyExists(KBdsKey) || !AReg.OpenKey(KBdsKey, false)) {
        return {};
    }
    auto versions = AReg.GetKeyNames();
    AReg.CloseKey();
    return versions;
}

} // namespace

bool HasGetItInstallation(TRegistryStore& AStore) {
    TRegistry reg(AStore, raRead);
    bool found = false;
    for (const auto& version : IDEVersions(reg)) {
        if (!reg.OpenKey(ElementsKey(version), false)) {
            continue;
        }
        for (const auto& name : reg.GetKeyNames()) {
            if (IsFrameworkElement(name)) {
                found = true;
                break;
            }
        }
        reg.CloseKey();
    }
    return found;
}

void CleanupGetItInstallation(TRegistryStore& AStore, const std::string& ABackupDir,
                              const TLogProc& ALog, const TAskProc& AAsk) {
    auto log = [&ALog](const std::string& ALine) {
        if (ALog) {
            ALog(ALine);
        }
    };
    log("Cleaning up GetIt Installation: " + ABackupDir + " (temporary download dir)");
    if (!EnablePrivilege("SeBackupPrivilege", true)) {
        log("!!! Missing SeBackupPrivilege");
        return;
    }
    TRegistry reg(AStore, raReadWrite);
    const std::filesystem::path backupDir = PathFromUtf8(ABackupDir);
    for (const auto& version : IDEVersions(reg)) {
        const std::string elementsKey = ElementsKey(version);
        log("Cleaning up registry entry: " + elementsKey);
        if (!reg.OpenKey(elementsKey, false)) {
            continue;
        }
        for (const auto& name : reg.GetKeyNames()) {
            if (!IsFrameworkElement(name)) {
                continue;
            }
            log("Installation exists: " + name);
            if (!AAsk || !AAsk("A Orvane GetIt Installation exists for BDS " + name +
                               ". Do you want to remove it now?")) {
                continue;
            }
            // A backup may be the only copy of a key already gone (an earlier
            // clean-up, another IDE version's element of the same name): it is
            // never replaced. The key name is made a plain file name first, so
            // it cannot point the file outside the backup folder.
            const std::filesystem::path file =
                FirstFreeFileName(backupDir, SafeFileName(name), ".reg");
            log("Creating registry backup at: " + Utf8FromPath(file));
            if (!reg.SaveKey(name, file)) {
                log("Failed to create registry backup for " + name + ": " + reg.LastError() +
                    " (registry key kept)");
                continue;
            }
            reg.DeleteKey(name);
            log("Registry key deleted: " + name);
        }
        reg.CloseKey();
        log("Cleaning up registry entry done: " + elementsKey);
    }
}

} // namespace orvane
