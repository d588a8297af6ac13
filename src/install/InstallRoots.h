#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace orvane {

// The places one installation of an IDE version may change, worked out from
// what the installer itself knows (the version, the IDE's folders in the
// registry, its own folders), never from the file that asks for the change.
// Journals, manifests and record values can be written by any process of the
// user; before one of them steers a delete, an overwrite, a copy or an
// import, what it names is held against these roots.
class TInstallRoots {
public:
    // ACommonDir: the folder holding the version's "Bpl" and "Dcp" (empty when
    // the registry gives none); ADataDir: where journals and manifests are
    // kept; AExeDir: the installer's own folder (the SSL libraries' source).
    TInstallRoots(std::string AIDEVersion, std::string ACommonDir, std::filesystem::path ADataDir,
                  std::string AExeDir);

    const std::string& IDEVersion() const { return FIDEVersion; }

    // Empty when the installation may create, replace or remove AFile: a plain
    // name directly in the Bpl or Dcp folder or a platform folder below them,
    // one of the package's DLLs or the SSL libraries in a "<version>/bin"
    // folder, or a manifest of the version in the manifests folder. Otherwise
    // why not.
    std::string FileRefusal(const std::string& AFile) const;
    // Empty when the installation may have created AFolder: a folder a file of
    // FileRefusal's may be in, or the IDE's common folder and those above it.
    std::string FolderRefusal(const std::string& AFolder) const;
    // Empty when a step of this version may change the key AKey (below
    // HKEY_CURRENT_USER): the IDE's package lists, library and C++ path keys
    // of the version, and its record with what is below it; only the record
    // may be deleted (ADeletes).
    std::string KeyRefusal(const std::string& AKey, bool ADeletes) const;
    // Where a file recorded as copied from ASource is copied from now: the
    // running installer's own copy of that SSL library ("" when its folder is
    // not known); nullopt when ASource names no SSL library.
    std::optional<std::string> OwnCopySource(const std::string& ASource) const;

    // "<data folder>/Manifests".
    std::filesystem::path ManifestsFolder() const;

private:
    // The Bpl or Dcp folder, or a platform's folder directly below one.
    bool IsPackageFolder(const std::filesystem::path& AFolder) const;
    // A "<version>\bin" folder: the IDE's executables.
    bool IsBinFolder(const std::filesystem::path& AFolder) const;

    std::string FIDEVersion;
    std::string FCommonDir;
    std::filesystem::path FDataDir;
    std::string FExeDir;
};

// AFolder is where an installation of AIDEVersion extracts its package: an
// absolute folder named after the version (the download folder's "22.0"),
// not a link. Empty when so, else why not.
std::string VersionFolderRefusal(const std::string& AFolder, const std::string& AIDEVersion);

// The same folder, the platform's case rules aside (Windows ignores case).
bool SamePath(const std::filesystem::path& A, const std::filesystem::path& B);

} // namespace orvane
