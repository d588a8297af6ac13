#include "registry/RegistryBackup.h"

#include "platform/FileNames.h"
#include "platform/Text.h"
#include "registry/IDEKeys.h"
#include "registry/ProductRecords.h"
#include "registry/RegFile.h"
#include "registry/RegistryStore.h"
#include "registry/X64Packages.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace orvane {

namespace {

std::string WithoutTrailingBackslash(std::string AKey) {
    while (!AKey.empty() && AKey.back() == '\\') {
        AKey.pop_back();
    }
    return AKey;
}

bool Listed(const std::vector<std::string>& ANames, const std::string& AName) {
    return std::any_of(ANames.begin(), ANames.end(),
                       [&AName](const std::string& AHave) { return SameName(AHave, AName); });
}

std::string KeyLine(const std::string& AKey, bool ADelete) {
    return std::string("[") + (ADelete ? "-" : "") + "HKEY_CURRENT_USER\\" + AKey + "]\r\n";
}

} // namespace

std::vector<TBackupKey> IDEBackupKeys(const std::string& AIDEVersion,
                                      const std::vector<std::string>& APlatforms,
                                      const std::vector<std::string>& APackages,
                                      const std::vector<std::string>& APackages64) {
    std::vector<TBackupKey> LKeys;
    auto LAdd = [&LKeys](const std::string& AKey, std::vector<std::string> ANewValues = {},
                         bool AWhole = false) {
        const std::string LKey = WithoutTrailingBackslash(AKey);
        if (std::none_of(LKeys.begin(), LKeys.end(),
                         [&LKey](const TBackupKey& AHave) { return SameName(AHave.Key, LKey); })) {
            LKeys.push_back({LKey, std::move(ANewValues), AWhole});
        }
    };
    LAdd(IDEKey(AIDEVersion, "Known Packages"), APackages);
    LAdd(IDEKey(AIDEVersion, "Disabled Packages"));
    LAdd(IDEKey(AIDEVersion, KKnownPackagesX64), APackages64);
    LAdd(IDEKey(AIDEVersion, KDisabledPackagesX64));
    for (const std::string& LPlatform : APlatforms) {
        const std::string LName = TrimControl(LPlatform);
        if (!LName.empty()) {
            // Written also where the key had none.
            LAdd(LibraryKey(AIDEVersion, LName), {"Search Path"});
        }
    }
    for (const std::string& LPlatform : KCppPlatforms) {
        LAdd(IDEKey(AIDEVersion, "C++\\Paths\\" + LPlatform));
    }
    LAdd(RecordKey(AIDEVersion), {}, true);
    return LKeys;
}

std::string RegistryBackupText(TRegistryStore& AStore, const std::vector<TBackupKey>& AKeys) {
    static const std::string CHeader = "Windows Registry Editor Version 5.00\r\n\r\n";
    std::string LText = CHeader;
    for (const TBackupKey& LEntry : AKeys) {
        const std::string LKey = WithoutTrailingBackslash(LEntry.Key);
        const bool LExists = AStore.KeyExists(LKey);
        if (LEntry.Whole) {
            // Only the key itself: its parent may hold other versions' records by then.
            LText += KeyLine(LKey, true) + "\r\n";
            if (LExists) {
                // The export's own header is already written once at the top.
                LText += ExportRegText(AStore, LKey).substr(CHeader.size());
            }
            continue;
        }
        if (!LExists) {
            continue;
        }
        LText += KeyLine(LKey, false);
        std::vector<std::string> LHad;
        for (const TRegValue& LValue : AStore.Values(LKey)) {
            LText += RegValueText(LValue);
            LHad.push_back(LValue.Name);
        }
        for (const std::string& LName : LEntry.NewValues) {
            if (!Listed(LHad, LName)) {
                LText += RegDeleteValueText(LName);
                LHad.push_back(LName);
            }
        }
        LText += "\r\n";
    }
    return LText;
}

std::string BackupBaseName(const std::string& AIDEVersion, const std::string& AStep,
                           const std::tm& ALocalTime) {
    char LStamp[80];
    std::snprintf(LStamp, sizeof(LStamp), "%04d-%02d-%02d %02d-%02d-%02d",
                  ALocalTime.tm_year + 1900, ALocalTime.tm_mon + 1, ALocalTime.tm_mday,
                  ALocalTime.tm_hour, ALocalTime.tm_min, ALocalTime.tm_sec);
    // A record key may be named by another tool ("..\\x", a full path): only a
    // version's name goes into a file name.
    const std::string LName = IsIdeVersionText(AIDEVersion) ? AIDEVersion : "other version";
    return LName + " " + AStep + " " + LStamp;
}

std::filesystem::path WriteRegistryBackup(TRegistryStore& AStore, const std::filesystem::path& ADir,
                                          const std::string& ABaseName,
                                          const std::vector<TBackupKey>& AKeys) {
    const std::string LText = RegistryBackupText(AStore, AKeys);
    std::error_code LError;
    std::filesystem::create_directories(ADir, LError);
    if (LError || !std::filesystem::is_directory(ADir)) {
        throw std::runtime_error("Cannot create the registry backup folder \"" +
                                 Utf8FromPath(ADir) + "\"" +
                                 (LError ? ": " + LError.message() : std::string()));
    }
    std::string LReason;
    for (;;) {
        const std::filesystem::path LFile = FirstFreeFileName(ADir, ABaseName, ".reg");
        if (WriteNewRegFile(LFile, LText, LReason)) {
            return LFile;
        }
        // Another program may have taken the name in between; the next free
        // one is tried. Any other failure ends the backup.
        if (!std::filesystem::exists(LFile, LError)) {
            throw std::runtime_error("Cannot write the registry backup \"" + Utf8FromPath(LFile) +
                                     "\": " + LReason);
        }
    }
}

} // namespace orvane
