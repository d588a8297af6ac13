#include "registry/X64Packages.h"

#include "registry/IDEKeys.h"
#include "registry/Registry.h"

namespace orvane {

bool HasX64IDE(TRegistryStore& AStore, const std::string& AIDEVersion) {
    TRegistry LReg(AStore, raRead);
    return LReg.KeyExists(IDEKey(AIDEVersion, KKnownPackagesX64));
}

bool HasX64PackageKeys(TRegistryStore& AStore, const std::string& AIDEVersion) {
    TRegistry LReg(AStore, raRead);
    return LReg.KeyExists(IDEKey(AIDEVersion, KKnownPackagesX64)) ||
           LReg.KeyExists(IDEKey(AIDEVersion, KDisabledPackagesX64));
}

void RegisterX64Packages(TRegistryStore& AStore, const std::string& AIDEVersion,
                         const TKnownPackagePairs& APairs) {
    TRegistry LReg(AStore, raReadWrite);
    CleanPackageKey(LReg, IDEKey(AIDEVersion, KKnownPackagesX64), &APairs);
    CleanPackageKey(LReg, IDEKey(AIDEVersion, KDisabledPackagesX64), nullptr);
}

void UnregisterX64Packages(TRegistryStore& AStore, const std::string& AIDEVersion) {
    TRegistry LReg(AStore, raReadWrite);
    CleanPackageKey(LReg, IDEKey(AIDEVersion, KKnownPackagesX64), nullptr);
    CleanPackageKey(LReg, IDEKey(AIDEVersion, KDisabledPackagesX64), nullptr);
}

} // namespace orvane
