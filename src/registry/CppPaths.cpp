#include "registry/CppPaths.h"

#include "platform/SystemFolders.h"
#include "registry/IDEKeys.h"
#include "registry/Registry.h"

namespace orvane {

namespace {

constexpr const char* kPathValues[] = {"IncludePath", "IncludePath_Clang32", "LibraryPath",
                                       "LibraryPath_Clang32"};

} // namespace

void RegisterCppPaths(TRegistryStore& AStore, const std::string& AIDEVersion,
                      const std::string& AVersionDir, const TKnownPackagePairs& APairs) {
    TRegistry reg(AStore, raReadWrite);
    CleanPackageKey(reg, IDEKey(AIDEVersion, "Known Packages"), &APairs);
    CleanPackageKey(reg, IDEKey(AIDEVersion, "Disabled Packages"), nullptr);
    const char sep = PathDelimiter();
    for (const std::string& platform : KCppPlatforms) {
        if (!OpenExistingKey(reg, IDEKey(AIDEVersion, "C++\\Paths\\" + platform))) {
            continue;
        }
        const std::string base = AVersionDir + platform + sep + "Release" + sep;
        const std::string added = base + ";" + base + "C" + sep + ";" + base + "C" + sep + "hpp" +
                                  sep + ";" + base + "C" + sep + "lib" + sep + ";";
        for (const char* value : kPathValues) {
            if (reg.ValueExists(value)) {
                reg.WriteString(value, CleanPathList(reg.ReadString(value)) + added);
            }
        }
        reg.CloseKey();
    }
}

void UnregisterCppPaths(TRegistryStore& AStore, const std::string& AIDEVersion) {
    TRegistry reg(AStore, raReadWrite);
    CleanPackageKey(reg, IDEKey(AIDEVersion, "Known Packages"), nullptr);
    for (const std::string& platform : KCppPlatforms) {
        if (!OpenExistingKey(reg, IDEKey(AIDEVersion, "C++\\Paths\\" + platform))) {
            continue;
        }
        for (const char* value : kPathValues) {
            if (reg.ValueExists(value)) {
                reg.WriteString(value, CleanPathList(reg.ReadString(value)));
            }
        }
        reg.CloseKey();
    }
}

} // namespace orvane
