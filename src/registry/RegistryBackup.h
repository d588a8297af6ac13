#pragma once

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace orvane {

class TRegistryStore;

// The keys an installation or uninstallation of AIDEVersion may change: the
// package lists of both IDEs, the library keys of APlatforms (as the package or
// the uninstallation names them), the C++ path keys and the product record.
// Paths below HKEY_CURRENT_USER without a trailing "\".
std::vector<std::string> IDEBackupKeys(const std::string& AIDEVersion,
                                       const std::vector<std::string>& APlatforms);

// .reg text (version 5.00) that returns AKeys to their present state when
// imported: each key as a deletion line followed by the key with everything
// below it. A missing key is the deletion of its topmost missing ancestor only,
// so a key the step creates (with its parents) goes again.
std::string RegistryBackupText(TRegistryStore& AStore, const std::vector<std::string>& AKeys);

// "<IDE version> <step> yyyy-mm-dd hh-nn-ss" (no colons: file names on Windows).
std::string BackupBaseName(const std::string& AIDEVersion, const std::string& AStep,
                           const std::tm& ALocalTime);

// Writes the backup of AKeys into ADir (created when missing) as
// "<ABaseName>.reg", or "<ABaseName> (2).reg" and so on when that is taken: an
// earlier backup is never overwritten. Returns the file's path; throws
// std::runtime_error naming the file and the reason when it cannot be written.
std::filesystem::path WriteRegistryBackup(TRegistryStore& AStore, const std::filesystem::path& ADir,
                                          const std::string& ABaseName,
                                          const std::vector<std::string>& AKeys);

} // namespace orvane
