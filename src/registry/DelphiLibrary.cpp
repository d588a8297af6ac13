#include "registry/DelphiLibrary.h"

#include "platform/SystemFolders.h"
#include "platform/Text.h"
#include "registry/IDEKeys.h"
#include "registry/Registry.h"

#include <algorithm>

namespace orvane {

bool OpenExistingKey(TRegistry& AReg, const std::string& AKey) {
    if (!AReg.KeyExists(AKey)) {
        return false;
    }
    OpenForWriting(AReg, AKey);
    return true;
}

void CleanPackageKey(TRegistry& AReg, const std::string& AKey, const TKnownPackagePairs* APairs) {
    if (!OpenExistingKey(AReg, AKey)) {
        return;
    }
    RemoveMarkedPackageValues(AReg);
    if (APairs && !APairs->empty()) {
        WritePackagePairs(AReg, *APairs);
    }
    AReg.CloseKey();
}

bool IsInstallerPathEntry(const std::string& AEntry) {
    std::string LEntry = TrimControl(AEntry);
    std::transform(LEntry.begin(), LEntry.end(), LEntry.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c == '/' ? '\\' : c);
    });
    if (LEntry.find("orvane") == std::string::npos || LEntry.empty() || LEntry.back() != '\\') {
        return false;
    }
    std::vector<std::string> LParts;
    std::size_t LStart = 0;
    for (std::size_t LEnd; (LEnd = LEntry.find('\\', LStart)) != std::string::npos;
         LStart = LEnd + 1) {
        LParts.push_back(LEntry.substr(LStart, LEnd - LStart));
    }
    // "<folder>\<platform>\Release\" and its "C\", "C\hpp\", "C\lib\" below.
    const auto LEndsWith = [&LParts](std::initializer_list<const char*> ATail) {
        if (LParts.size() < ATail.size() + 2) {
            return false;
        }
        std::size_t LIndex = LParts.size() - ATail.size();
        for (const char* LPart : ATail) {
            if (LParts[LIndex++] != LPart) {
                return false;
            }
        }
        return !LParts[LParts.size() - ATail.size() - 1].empty();
    };
    return LEndsWith({"release"}) || LEndsWith({"release", "c"}) ||
           LEndsWith({"release", "c", "hpp"}) || LEndsWith({"release", "c", "lib"});
}

std::string CleanPathList(const std::string& AList) {
    std::string result;
    std::size_t start = 0;
    while (start < AList.size()) {
        std::size_t end = AList.find(';', start);
        if (end == std::string::npos) {
            end = AList.size();
        }
        const std::string entry = AList.substr(start, end - start);
        if (!TrimControl(entry).empty() && !IsInstallerPathEntry(entry)) {
            result += entry;
            result += ';';
        }
        start = end + 1;
    }
    return result;
}

void RemoveMarkedPackageValues(TRegistry& AReg) {
    for (const auto& name : AReg.GetValueNames()) {
        if (name.find("Orvane_") != std::string::npos) {
            AReg.DeleteValue(name);
        }
    }
}

void WritePackagePairs(TRegistry& AReg, const TKnownPackagePairs& APairs) {
    for (const auto& pair : APairs) {
        if (AReg.ValueExists(pair[0])) {
            AReg.DeleteValue(pair[0]);
        }
        AReg.WriteString(pair[0], pair[1]);
    }
}

void RegisterDelphiLibrary(TRegistryStore& AStore, const std::string& AIDEVersion,
                           const std::string& AVersionDir, const TKnownPackagePairs& APairs,
                           const std::vector<std::string>& APlatforms) {
    TRegistry reg(AStore, raReadWrite);
    CleanPackageKey(reg, IDEKey(AIDEVersion, "Known Packages"), &APairs);
    CleanPackageKey(reg, IDEKey(AIDEVersion, "Disabled Packages"), nullptr);
    for (const auto& platform : APlatforms) {
        const std::string name = TrimControl(platform);
        // An empty name (a stray "," in the platform list) would address the
        // Library key itself.
        if (name.empty()) {
            continue;
        }
        const std::string key = LibraryKey(AIDEVersion, name);
        if (!OpenExistingKey(reg, key)) {
            continue;
        }
        const std::string old = reg.ReadString("Search Path");
        const std::string entry =
            AVersionDir + IncludeTrailingPathDelimiter(name) + "Release" + PathDelimiter();
        reg.WriteString("Search Path", CleanPathList(old) + entry + ";");
        reg.CloseKey();
    }
}

void UnregisterDelphiPackages(TRegistryStore& AStore, const std::string& AIDEVersion) {
    TRegistry reg(AStore, raReadWrite);
    CleanPackageKey(reg, IDEKey(AIDEVersion, "Known Packages"), nullptr);
    CleanPackageKey(reg, IDEKey(AIDEVersion, "Disabled Packages"), nullptr);
}

void UnregisterDelphiLibrary(TRegistryStore& AStore, const std::string& AIDEVersion) {
    UnregisterDelphiPackages(AStore, AIDEVersion);
    TRegistry reg(AStore, raReadWrite);
    for (const std::string& platform : KLibraryPlatforms) {
        const std::string key = LibraryKey(AIDEVersion, platform);
        if (!OpenExistingKey(reg, key)) {
            continue;
        }
        reg.WriteString("Search Path", CleanPathList(reg.ReadString("Search Path")));
        reg.CloseKey();
    }
}

} // namespace orvane
