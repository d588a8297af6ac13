#pragma once

#include "registry/DelphiLibrary.h"

#include <string>

namespace orvane {

class TRegistryStore;

void RegisterCppPaths(TRegistryStore& AStore, const std::string& AIDEVersion,
                      const std::string& AVersionDir, const TKnownPackagePairs& APairs);
void UnregisterCppPaths(TRegistryStore& AStore, const std::string& AIDEVersion);

} // namespace orvane
