#pragma once

#include <string>

namespace orvane {

// The IDE versions' keys below HKEY_CURRENT_USER.
inline const std::string KBdsKey = "SOFTWARE\\Embarcadero\\BDS\\";

// "SOFTWARE\Embarcadero\BDS\<version>\<sub>\".
inline std::string IDEKey(const std::string& AIDEVersion, const std::string& ASub) {
    return KBdsKey + AIDEVersion + "\\" + ASub + "\\";
}

} // namespace orvane
