#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace orvane {

// The IDE versions' keys below HKEY_CURRENT_USER.
inline const std::string KBdsKey = "SOFTWARE\\Embarcadero\\BDS\\";

// An empty version would turn a version's key into its parent: refused.
inline const std::string& RequireIDEVersion(const std::string& AIDEVersion) {
    if (AIDEVersion.empty()) {
        throw std::invalid_argument("No IDE version given");
    }
    return AIDEVersion;
}

// "SOFTWARE\Embarcadero\BDS\<version>\<sub>\".
inline std::string IDEKey(const std::string& AIDEVersion, const std::string& ASub) {
    return KBdsKey + RequireIDEVersion(AIDEVersion) + "\\" + ASub + "\\";
}

// "Library\<platform>": the 32-bit Android platform's key carries its bitness.
inline std::string LibraryKey(const std::string& AIDEVersion, const std::string& APlatform) {
    return IDEKey(AIDEVersion, "Library\\" + (APlatform == "Android" ? "Android32" : APlatform));
}

// The platforms whose library keys an uninstallation cleans.
inline const std::vector<std::string> KLibraryPlatforms{"Win32", "Win64", "Android", "Android64"};
// The platforms with C++ path keys ("C++\Paths\<platform>").
inline const std::vector<std::string> KCppPlatforms{"Win32", "Win64", "Android"};

} // namespace orvane
