#pragma once

#include "server/Credentials.h"

#include <cstdint>
#include <string>
#include <vector>

namespace orvane {

// A bundle: what one download from the API server leaves in a folder so that
// many machines can install from it without the server. It holds the
// configuration document as the server sent it, each package zip, and
// KBundleFileName, which lists the packages with their sizes and SHA-256.
// Nothing secret is in it: no password, no token.
inline constexpr const char* KBundleFileName = "orvane-bundle.json";
inline constexpr const char* KBundleConfigurationName = "orvane-configuration.json";
inline constexpr int KBundleFormatVersion = 1;
// Most bytes a bundle file may have: a few hundred bytes per package.
inline constexpr std::size_t KMaxBundleFileBytes = 1024 * 1024;

struct TBundlePackage {
    std::string IDEVersion;
    // The zip's file name inside the bundle.
    std::string File;
    std::uint64_t Size = 0;
    // Lower-case hexadecimal.
    std::string Sha256;
    // The server named the digest in its entry; false: computed while the zip
    // downloaded.
    bool Sha256FromServer = false;
};

struct TBundle {
    int FormatVersion = KBundleFormatVersion;
    TUserMode Edition = imDeveloper;
    // When the bundle was made, "yyyy-mm-ddThh:nn:ssZ".
    std::string Created;
    std::vector<TBundlePackage> Packages;
    // The IDE versions the server offered when it was made, and those of them
    // whose package it lacks (a download that failed or was stopped). A
    // bundle of an older installer names neither.
    std::vector<std::string> Offered;
    std::vector<std::string> Missing;
    bool Complete() const { return Missing.empty(); }

    // The package of that file name, or none.
    const TBundlePackage* Find(const std::string& AFile) const;
    // The package for that IDE version (its last one), or none.
    const TBundlePackage* ForVersion(const std::string& AIDEVersion) const;
};

// "yyyy-mm-ddThh:nn:ssZ", as a bundle's "created" is written.
bool IsBundleDate(const std::string& AText);
// The bundle file's JSON text.
std::string BundleText(const TBundle& ABundle);
// Reads a bundle file. Its names are as untrusted as the server's: each file
// name must be a plain file name and each IDE version one the IDE uses.
// Throws std::runtime_error saying what is wrong.
TBundle ParseBundle(const std::string& AText);

// "developer" or "commercial".
const char* EditionName(TUserMode AMode);

// Where a bundle lies, with what was read from it.
struct TBundleSource {
    // A folder (on Windows also a UNC path), or an http:// or https:// address.
    std::string Location;
    bool Web = false;
    TBundle Bundle;
    // The configuration document's bytes as the server sent them.
    std::string Configuration;

    // Where a package's zip lies: a path in the folder, or its address.
    std::string PackageLocation(const TBundlePackage& APackage) const;
    // "the bundle <location> (developer edition, made <date>)": for the log and the record.
    std::string Description() const;
};

// True for an http:// or https:// address.
bool IsWebLocation(const std::string& ALocation);

// Reads the bundle file and the configuration from a folder or a static web
// server (no sign-in, no token). Throws std::runtime_error with the reason.
TBundleSource LoadBundle(const std::string& ALocation);

} // namespace orvane
