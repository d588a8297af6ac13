#pragma once

#include "registry/DelphiLibrary.h"

#include <string>

namespace orvane {

class TRegistryStore;

// The 64-bit IDE's package lists below the version's key.
inline const std::string KKnownPackagesX64 = "Known Packages x64";
inline const std::string KDisabledPackagesX64 = "Disabled Packages x64";

// True when the version has the 64-bit IDE: its "Known Packages x64" key exists.
bool HasX64IDE(TRegistryStore& AStore, const std::string& AIDEVersion);
// True when either of the 64-bit IDE's package keys exists.
bool HasX64PackageKeys(TRegistryStore& AStore, const std::string& AIDEVersion);

// Takes the framework's values out of "Known Packages x64" and "Disabled
// Packages x64", then enters APairs (Win64 BPLs: full path, file name) in the
// first. Neither key is ever created; a missing key is skipped.
void RegisterX64Packages(TRegistryStore& AStore, const std::string& AIDEVersion,
                         const TKnownPackagePairs& APairs);
// Takes the framework's values out of both keys.
void UnregisterX64Packages(TRegistryStore& AStore, const std::string& AIDEVersion);

} // namespace orvane
