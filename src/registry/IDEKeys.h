#pragma once

#include <stdexcept>
#include <string>

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

} // namespace orvane
