#pragma once

#include <array>
#include <string>
#include <vector>

namespace orvane {

class TRegistryStore;

// [0] full path of a Win32 BPL in the IDE common directory, [1] its file name.
using TKnownPackagePairs = std::vector<std::array<std::string, 2>>;

// Drops empty entries and entries marked "orvane" (any case); keeps the rest
// untrimmed, each followed by ";".
std::string CleanPathList(const std::string& AList);

void RegisterDelphiLibrary(TRegistryStore& AStore, const std::string& AIDEVersion,
                           const std::string& AVersionDir, const TKnownPackagePairs& APairs,
                           const std::vector<std::string>& APlatforms);
void UnregisterDelphiLibrary(TRegistryStore& AStore, const std::string& AIDEVersion);

} // namespace orvane
