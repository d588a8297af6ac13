#pragma once

// Windows only: the store on the system registry through advapi32.

#include "registry/RegistryStore.h"

#include <windows.h>

#include <memory>
#include <string>

namespace orvane {

// Key paths are taken below ARoot, or below ARoot\ARootPrefix when a prefix is
// given (tests work below "Software\OrvaneTests\<unique>" rather than the real
// hive root); the prefix key is created when missing.
std::shared_ptr<TRegistryStore> OpenWin32RegistryStore(HKEY ARoot = HKEY_CURRENT_USER,
                                                       const std::string& ARootPrefix = {});

} // namespace orvane
