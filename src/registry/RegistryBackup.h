#pragma once

#include <ctime>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace orvane {

class TRegistryStore;

// A key a step may change, and how; paths below HKEY_CURRENT_USER without a
// trailing "\".
struct TBackupKey {
    TBackupKey(std::string AKey, std::vector<std::string> ANewValues = {}, bool AWhole = false)
        : Key(std::move(AKey)), NewValues(std::move(ANewValues)), Whole(AWhole) {}

    std::string Key;
    // Values the step may add to the key: a restore deletes those it lacked.
    std::vector<std::string> NewValues;
    // The step may create the key, or delete it with everything below it (a
    // record): the backup holds the whole key, or its deletion when missing.
    bool Whole = false;

    bool operator==(const TBackupKey&) const = default;
};

// The keys an installation or uninstallation of AIDEVersion may change: the
// package lists of both IDEs (APackages and APackages64 name the values the
// step enters in "Known Packages" and "Known Packages x64"), the library keys
// of APlatforms (as the package or the uninstallation names them), the C++
// path keys and the version's own record.
std::vector<TBackupKey> IDEBackupKeys(const std::string& AIDEVersion,
                                      const std::vector<std::string>& APlatforms,
                                      const std::vector<std::string>& APackages = {},
                                      const std::vector<std::string>& APackages64 = {});

// .reg text (version 5.00) that, imported, returns AKeys to their present
// state and touches nothing else: an existing key gets back its values (and
// loses the new ones the step may add) while its sub-keys and any value added
// by someone else stay; a whole key is deleted and written back with
// everything below it; a missing whole key is deleted, its parent left alone.
// The IDE's keys are never created by a step, so a missing one is left out.
// Throws ERegistryStoreError when a key or value it must hold cannot be read
// exactly: a backup that could not restore it is no backup.
std::string RegistryBackupText(TRegistryStore& AStore, const std::vector<TBackupKey>& AKeys);

// "<IDE version> <step> yyyy-mm-dd hh-nn-ss" (no colons: file names on Windows);
// "other version" in place of a version that does not look like one.
std::string BackupBaseName(const std::string& AIDEVersion, const std::string& AStep,
                           const std::tm& ALocalTime);

// Writes the backup of AKeys into ADir (created when missing) as
// "<ABaseName>.reg", or "<ABaseName> (2).reg" and so on when that is taken: an
// earlier backup is never overwritten. Returns the file's path; throws
// std::runtime_error naming the file and the reason when it cannot be written.
std::filesystem::path WriteRegistryBackup(TRegistryStore& AStore, const std::filesystem::path& ADir,
                                          const std::string& ABaseName,
                                          const std::vector<TBackupKey>& AKeys);

} // namespace orvane
