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

// The shortest leading part of AKey that does not exist; AKey itself when its
// parent exists.
std::string TopmostMissing(TRegistryStore& AStore, const std::string& AKey) {
    std::size_t LEnd = 0;
    while (true) {
        LEnd = AKey.find('\\', LEnd + 1);
        const std::string LPart = AKey.substr(0, LEnd);
        if (!AStore.KeyExists(LPart) || LEnd == std::string::npos) {
            return LPart;
        }
    }
}

} // namespace

std::vector<std::string> IDEBackupKeys(const std::string& AIDEVersion,
                                       const std::vector<std::string>& APlatforms) {
    std::vector<std::string> LKeys;
    auto LAdd = [&LKeys](const std::string& AKey) {
        const std::string LKey = WithoutTrailingBackslash(AKey);
        if (std::none_of(LKeys.begin(), LKeys.end(),
                         [&LKey](const std::string& AHave) { return SameName(AHave, LKey); })) {
            LKeys.push_back(LKey);
        }
    };
    for (const std::string& LSub : {std::string("Known Packages"), std::string("Disabled Packages"),
                                    KKnownPackagesX64, KDisabledPackagesX64}) {
        LAdd(IDEKey(AIDEVersion, LSub));
    }
    for (const std::string& LPlatform : APlatforms) {
        const std::string LName = TrimControl(LPlatform);
        if (!LName.empty()) {
            LAdd(LibraryKey(AIDEVersion, LName));
        }
    }
    for (const std::string& LPlatform : KCppPlatforms) {
        LAdd(IDEKey(AIDEVersion, "C++\\Paths\\" + LPlatform));
    }
    LAdd(RecordKey(AIDEVersion));
    return LKeys;
}

std::string RegistryBackupText(TRegistryStore& AStore, const std::vector<std::string>& AKeys) {
    static const std::string CHeader = "Windows Registry Editor Version 5.00\r\n\r\n";
    std::string LText = CHeader;
    std::vector<std::string> LDeleted;
    for (const std::string& AKey : AKeys) {
        const std::string LKey = WithoutTrailingBackslash(AKey);
        if (AStore.KeyExists(LKey)) {
            LText += "[-HKEY_CURRENT_USER\\" + LKey + "]\r\n\r\n";
            // The export's own header is already written once at the top.
            LText += ExportRegText(AStore, LKey).substr(CHeader.size());
            continue;
        }
        const std::string LMissing = TopmostMissing(AStore, LKey);
        if (std::none_of(LDeleted.begin(), LDeleted.end(),
                         [&LMissing](const std::string& A) { return SameName(A, LMissing); })) {
            LDeleted.push_back(LMissing);
            LText += "[-HKEY_CURRENT_USER\\" + LMissing + "]\r\n\r\n";
        }
    }
    return LText;
}

std::string BackupBaseName(const std::string& AIDEVersion, const std::string& AStep,
                           const std::tm& ALocalTime) {
    char LStamp[80];
    std::snprintf(LStamp, sizeof(LStamp), "%04d-%02d-%02d %02d-%02d-%02d",
                  ALocalTime.tm_year + 1900, ALocalTime.tm_mon + 1, ALocalTime.tm_mday,
                  ALocalTime.tm_hour, ALocalTime.tm_min, ALocalTime.tm_sec);
    return AIDEVersion + " " + AStep + " " + LStamp;
}

std::filesystem::path WriteRegistryBackup(TRegistryStore& AStore, const std::filesystem::path& ADir,
                                          const std::string& ABaseName,
                                          const std::vector<std::string>& AKeys) {
    const std::string LText = RegistryBackupText(AStore, AKeys);
    std::error_code LError;
    std::filesystem::create_directories(ADir, LError);
    if (LError || !std::filesystem::is_directory(ADir)) {
        throw std::runtime_error("Cannot create the registry backup folder \"" + Utf8FromPath(ADir) +
                                 "\"" + (LError ? ": " + LError.message() : std::string()));
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
