#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace orvane {

class TRegistryStore;

// An error that is never shown to the user.
class ESilentAbort : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Folder holding one folder per IDE version (parent of the version's InstallDir).
// Throws ESilentAbort when the version's "Maintenance" key is missing or closed.
std::string GetIDERootDir(TRegistryStore& AStore, const std::string& AVersion);
// Folder holding the version's "Bpl" and "Dcp" folders; never throws.
std::string GetIDECommonDir(TRegistryStore& AStore, const std::string& AVersion);
// Root directory of the newest installed IDE, if any.
std::optional<std::string> FindDefaultIDEDir(TRegistryStore& AStore);
// Shared documents folder + "Orvane" + separator.
std::string DefaultDownloadDir();

} // namespace orvane
