#pragma once

#include "registry/RegistryBackup.h"
#include "registry/RegistryStore.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

class TInstallRoots;

// A file an installation wrote, and where its content came from.
struct TManifestFile {
    std::string Path;
    std::uint64_t Size = 0;
    std::string Sha256;
    // "zip": Source is the package's entry name (also below the version
    // folder); "file": Source is the file it was copied from.
    std::string SourceKind;
    std::string Source;
};

// A registry value an installation added: the whole value, or, with Item set,
// one entry of a ";" list (Search Path, C++ paths) within it.
struct TManifestValue {
    std::string Key;
    std::string Name;
    std::string Item;
    // The whole value's text (a Known Packages description), for a repair;
    // for an item, the list's text before the installation added it.
    std::string Data;
    bool operator==(const TManifestValue&) const = default;
};

// What one installation of a version did, kept beside the registry store and
// named by the value KManifestValue of its record.
struct TInstallManifest {
    std::string IDEVersion;
    std::string FileVersion;
    std::string VersionDir;
    std::string PackagePath;
    std::string PackageSha256;
    std::vector<TManifestFile> Files;
    std::vector<TManifestValue> Values;

    std::string Text() const;
    static TInstallManifest Parse(const std::string& AText);
};

// The value added to a record: the manifest's file.
inline const std::string KManifestValue = "Manifest";

// The values of the keys AKeys, per key (missing keys have none).
using TRegistrySnapshot = std::map<std::string, std::vector<TRegValue>>;
TRegistrySnapshot SnapshotKeys(TRegistryStore& AStore, const std::vector<std::string>& AKeys);
// What AAfter holds that ABefore did not: new values whole, and the new items
// of ";" lists in string values that were there before. An installation over
// an earlier one finds its own entries already there: the values named in
// AOwnValues and the items inside AVersionDir count as its own all the same.
std::vector<TManifestValue> AddedValues(const TRegistrySnapshot& ABefore,
                                        const TRegistrySnapshot& AAfter,
                                        const std::string& AVersionDir,
                                        const std::vector<std::string>& AOwnValues);

// A free name for a new manifest of AIDEVersion below "<ADataDir>/Manifests"
// (the folder is created).
std::filesystem::path ManifestFileFor(const std::filesystem::path& ADataDir,
                                      const std::string& AIDEVersion);
// Writes AManifest into the new file AFile, on the disk when it returns.
void WriteManifest(const std::filesystem::path& AFile, const TInstallManifest& AManifest);
// The manifest the record of AIDEVersion names; nullopt when the record names
// none (an installation recorded before manifests were kept). The record's
// value is a file name in AManifestsFolder (or, as older records hold it, that
// file's whole path), nothing else. Throws when it names anything else, a file
// that cannot be read, or the manifest of another version; AFile receives the
// file only once it is known to be in AManifestsFolder.
std::optional<TInstallManifest> ReadRecordManifest(TRegistryStore& AStore,
                                                   const std::string& AIDEVersion,
                                                   const std::filesystem::path& AManifestsFolder,
                                                   std::filesystem::path* AFile = nullptr);

// Takes out of AManifest whatever lies outside what the installation of its
// version owns (ARoots): files elsewhere, copy sources other than the
// installer's own, a folder or package not of the version, keys a step may
// not change. Returns a line for each thing taken out.
std::vector<std::string> ConfineManifest(TInstallManifest& AManifest, const TInstallRoots& ARoots);

// Takes the values and list items AValues names out of the registry, in the
// keys of ACovered only (those a backup of the step holds).
void RemoveManifestValues(TRegistryStore& AStore, const std::vector<TManifestValue>& AValues,
                          const std::vector<TBackupKey>& ACovered);

// The items of a ";" list, trimmed, empty ones left out.
std::vector<std::string> PathListItems(const std::string& AList);
// AList without the items equal (ASCII case aside) to AItem.
std::string WithoutPathItem(const std::string& AList, const std::string& AItem);

} // namespace orvane
