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

// A folder the IDE's registry gives as a relative path: refused for that
// version, with the value and key named.
class ERelativeIDEPath : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Folder holding one folder per IDE version (parent of the version's InstallDir,
// expanded when it is a REG_EXPAND_SZ). Throws ESilentAbort when the version's
// "Maintenance" key is missing or closed or InstallDir is empty, and
// ERelativeIDEPath when InstallDir is relative.
std::string GetIDERootDir(TRegistryStore& AStore, const std::string& AVersion);
// Folder holding the version's "Bpl" and "Dcp" folders (expanded as above);
// every failure gives the shared documents' default, except a relative
// folder, which throws ERelativeIDEPath.
std::string GetIDECommonDir(TRegistryStore& AStore, const std::string& AVersion);
// Root directory of the newest installed IDE, if any.
std::optional<std::string> FindDefaultIDEDir(TRegistryStore& AStore);
// Shared documents folder + "Orvane" + separator.
std::string DefaultDownloadDir();

} // namespace orvane
