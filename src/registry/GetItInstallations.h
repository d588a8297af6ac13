#pragma once

#include <functional>
#include <string>

namespace orvane {

class TRegistryStore;

using TLogProc = std::function<void(const std::string& ALine)>;
// A Yes/No question of the confirmation kind; true only for Yes.
using TAskProc = std::function<bool(const std::string& AQuestion)>;

// True when any IDE version holds a catalog element named "Orvane-...".
bool HasGetItInstallation(TRegistryStore& AStore);

// Offers each "Orvane-..." element for removal, backs it up into ABackupDir
// (UTF-8, ends with the path separator) and deletes its key. A backup goes
// into "<element>.reg", or "<element> (2).reg" ... when that name is taken:
// existing files are never replaced.
void CleanupGetItInstallation(TRegistryStore& AStore, const std::string& ABackupDir,
                              const TLogProc& ALog, const TAskProc& AAsk);

} // namespace orvane
