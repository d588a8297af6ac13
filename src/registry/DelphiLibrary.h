#pragma once

#include <array>
#include <string>
#include <vector>

namespace orvane {

class TRegistry;
class TRegistryStore;

// [0] full path of a Win32 BPL in the IDE common directory, [1] its file name.
using TKnownPackagePairs = std::vector<std::array<std::string, 2>>;

// Opens AKey only when it exists; opened with create allowed, as the IDE's
// keys are everywhere, so no IDE key is ever created. A key that exists but
// may not be changed throws (see OpenForWriting).
bool OpenExistingKey(TRegistry& AReg, const std::string& AKey);
// The package-key step of the library and C++ registration: removes the
// framework's values from AKey and, when APairs has any, writes them. A
// missing key is skipped.
void CleanPackageKey(TRegistry& AReg, const std::string& AKey, const TKnownPackagePairs* APairs);

// True for an entry of the form the installer writes, "<folder>\<platform>\Release\"
// or its "C\", "C\hpp\" and "C\lib\" (either separator, any case), with
// "orvane" in it: a folder of the user's that merely contains the word is not one.
bool IsInstallerPathEntry(const std::string& AEntry);

// Drops empty entries and the installer's own entries marked "orvane"
// (IsInstallerPathEntry); keeps the rest untrimmed, each followed by ";".
std::string CleanPathList(const std::string& AList);

// With a key open: deletes every value whose name contains "Orvane_" (exact
// case); the names are listed once, before the first deletion.
void RemoveMarkedPackageValues(TRegistry& AReg);
// With a key open: for each pair in order, deletes the value named by [0] when
// present and writes [1] under that name as a string.
void WritePackagePairs(TRegistry& AReg, const TKnownPackagePairs& APairs);

// "Known Packages" gets the pairs, "Disabled Packages" loses the framework's
// entries, and each platform's library "Search Path" gets
// AVersionDir + platform + "/Release/" instead of earlier framework entries.
// Missing keys are skipped and never created; registry errors pass through.
void RegisterDelphiLibrary(TRegistryStore& AStore, const std::string& AIDEVersion,
                           const std::string& AVersionDir, const TKnownPackagePairs& APairs,
                           const std::vector<std::string>& APlatforms);
void UnregisterDelphiLibrary(TRegistryStore& AStore, const std::string& AIDEVersion);
// The package half of UnregisterDelphiLibrary: the framework's values taken
// out of "Known Packages" and "Disabled Packages", the path lists left alone.
void UnregisterDelphiPackages(TRegistryStore& AStore, const std::string& AIDEVersion);

} // namespace orvane
