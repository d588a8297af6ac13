#include "registry/GetItInstallations.h"

#include "platform/Privilege.h"
#include "registry/IDEKeys.h"
#include "registry/RegText.h"
#include "registry/Registry.h"

#include <filesystem>
#include <set>
#include <stdexcept>
#include <system_error>

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
    // Element names already backed up in this run: a later IDE version's
    // element of the same name gets the version in its file name, so the
    // first backup is not deleted after its key is gone.
    std::set<std::string> backedUp;
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
            const bool taken = backedUp.count(FoldName(name)) != 0;
            const std::string file =
                ABackupDir + name + (taken ? " (" + version + ")" : std::string()) + ".reg";
            log("Creating registry backup at: " + file);
            std::error_code ec;
            if (std::filesystem::exists(file, ec)) {
                std::filesystem::remove(file, ec);
                if (ec) {
                    throw std::runtime_error(ec.message() + ": " + file);
                }
            }
            if (!reg.SaveKey(name, file)) {
                log("Failed to create registry backup for " + name + ": " + reg.LastError() +
                    " (registry key kept)");
                continue;
            }
            backedUp.insert(FoldName(name));
            reg.DeleteKey(name);
            log("Registry key deleted: " + name);
        }
        reg.CloseKey();
        log("Cleaning up registry entry done: " + elementsKey);
    }
}

} // namespace orvane
